#include "fuzzed_libusb.h"

#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

struct libusb_device {
    uint32_t generation = 0;  // the context it was listed in
    libusb_device_descriptor descriptor{};
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t address = 0;
    int speed = 0;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<libusb_interface> interfaces;
    libusb_config_descriptor config{};
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    bool closed = false;
};

namespace fuzzed_usb {
namespace {

constexpr uint8_t CBW_SIGNATURE[4] = {'U', 'S', 'B', 'C'};
constexpr uint8_t CSW_SIGNATURE[4] = {'U', 'S', 'B', 'S'};
constexpr int CBW_LENGTH = 31;
constexpr int CSW_LENGTH = 13;

constexpr int ERRORS[] = {
    LIBUSB_ERROR_IO,          LIBUSB_ERROR_INVALID_PARAM, LIBUSB_ERROR_ACCESS,
    LIBUSB_ERROR_NO_DEVICE,   LIBUSB_ERROR_NOT_FOUND,     LIBUSB_ERROR_BUSY,
    LIBUSB_ERROR_TIMEOUT,     LIBUSB_ERROR_OVERFLOW,      LIBUSB_ERROR_PIPE,
    LIBUSB_ERROR_INTERRUPTED, LIBUSB_ERROR_NO_MEM,        LIBUSB_ERROR_NOT_SUPPORTED,
    LIBUSB_ERROR_OTHER,
};

struct State {
    FuzzInput* input = nullptr;
    bool initialised = false;
    uint32_t generation = 0;
    uint32_t last_tag = 0;
    std::deque<std::unique_ptr<libusb_device>> devices;
    std::deque<std::unique_ptr<libusb_device_handle>> handles;
    std::deque<std::vector<libusb_device*>> lists;
};

State& state()
{
    static State s;
    return s;
}

FuzzInput& in()
{
    static FuzzInput empty(nullptr, 0);
    return state().input != nullptr ? *state().input : empty;
}

[[noreturn]] void broken_contract(const char* what)
{
    std::fprintf(stderr, "libusb contract broken by the caller: %s\n", what);
    std::abort();
}

void require_context(const char* function)
{
    if (!state().initialised)
        broken_contract(function);
}

void require_device(libusb_device* device, const char* function)
{
    require_context(function);
    if (device == nullptr || device->generation != state().generation)
        broken_contract(function);
}

void require_handle(libusb_device_handle* handle, const char* function)
{
    if (handle == nullptr || handle->closed)
        broken_contract(function);
    require_device(handle->device, function);
}

// Mostly success, so that runs get past the set-up; otherwise a libusb error.
int call_result()
{
    const uint8_t choice = in().byte();
    if (in().exhausted() && choice == 0)
        return LIBUSB_ERROR_NO_DEVICE;
    if (choice < 0xF0)
        return 0;
    return ERRORS[choice % std::size(ERRORS)];
}

std::unique_ptr<libusb_device> make_device()
{
    auto device = std::make_unique<libusb_device>();
    device->generation = state().generation;
    libusb_device_descriptor& d = device->descriptor;
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    // Most entries are the bootloader, so that the fuzzer need not find the
    // identity first.
    if (in().byte() < 0xC0) {
        d.idVendor = 0x0483;
        d.idProduct = 0x5720;
    } else {
        d.idVendor = in().u16();
        d.idProduct = in().u16();
    }
    d.iManufacturer = in().byte();
    d.iProduct = in().byte();
    d.iSerialNumber = in().byte();
    d.bNumConfigurations = 1;
    device->bus = in().byte();
    device->port = in().byte();
    device->address = in().byte();
    device->speed = in().below(6);

    const uint8_t interface_count = static_cast<uint8_t>(in().below(4));
    device->endpoints.resize(interface_count);
    device->settings.resize(interface_count);
    for (uint8_t i = 0; i < interface_count; ++i) {
        const uint32_t setting_count = in().below(3);
        device->endpoints[i].resize(setting_count);
        for (uint32_t j = 0; j < setting_count; ++j) {
            const uint32_t endpoint_count = in().below(5);
            for (uint32_t k = 0; k < endpoint_count; ++k) {
                libusb_endpoint_descriptor e{};
                e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
                e.bDescriptorType = LIBUSB_DT_ENDPOINT;
                e.bEndpointAddress = in().byte();
                e.bmAttributes = in().byte();
                e.wMaxPacketSize = in().u16();
                e.bInterval = in().byte();
                device->endpoints[i][j].push_back(e);
            }
        }
    }
    for (uint8_t i = 0; i < interface_count; ++i) {
        for (size_t j = 0; j < device->endpoints[i].size(); ++j) {
            libusb_interface_descriptor s{};
            s.bLength = LIBUSB_DT_INTERFACE_SIZE;
            s.bDescriptorType = LIBUSB_DT_INTERFACE;
            s.bInterfaceNumber = i;
            s.bAlternateSetting = static_cast<uint8_t>(j);
            s.bNumEndpoints = static_cast<uint8_t>(device->endpoints[i][j].size());
            s.endpoint = device->endpoints[i][j].data();
            device->settings[i].push_back(s);
        }
        libusb_interface interface {
        };
        interface.altsetting = device->settings[i].data();
        interface.num_altsetting = static_cast<int>(device->settings[i].size());
        device->interfaces.push_back(interface);
    }
    libusb_config_descriptor& c = device->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    c.bNumInterfaces = interface_count;
    c.bConfigurationValue = 1;
    c.interface = device->interfaces.data();
    return device;
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Bytes for an IN transfer, at most `length`. Besides raw bytes, the input
// can ask for a well-formed status wrapper for the last command, so that
// runs reach programming and verification without the fuzzer having to
// rediscover the tag of every wrapper.
int answer_in(unsigned char* data, int length, int* transferred, unsigned timeout)
{
    const uint8_t choice = in().byte();
    if (in().exhausted() && choice == 0)
        return LIBUSB_ERROR_NO_DEVICE;
    switch (choice & 7) {
    case 0:
    case 1:
    case 2:
    case 3: {
        if (timeout != 0)
            return LIBUSB_ERROR_TIMEOUT;  // the drain finds the endpoint empty
        if (length == CSW_LENGTH) {
            uint8_t csw[CSW_LENGTH] = {};
            std::memcpy(csw, CSW_SIGNATURE, 4);
            put_le32(csw + 4, (choice & 0x10) ? in().u32() : state().last_tag);
            csw[12] = (choice & 0x20) ? in().byte() : 0;
            const int n =
                (choice & 0x40) ? static_cast<int>(in().below(CSW_LENGTH + 1)) : CSW_LENGTH;
            std::memcpy(data, csw, static_cast<size_t>(n));
            *transferred = n;
            return 0;
        }
        const size_t want = (choice & 0x40) ? in().below(static_cast<uint32_t>(length) + 1)
                                            : static_cast<size_t>(length);
        *transferred = static_cast<int>(in().copy(data, want));
        return 0;
    }
    case 4: {
        const size_t want = in().u16() % (static_cast<uint32_t>(length) + 1);
        *transferred = static_cast<int>(in().copy(data, want));
        return 0;
    }
    case 5: return LIBUSB_ERROR_PIPE;
    case 6: return ERRORS[in().below(std::size(ERRORS))];
    default: {
        // Some bytes arrive, then the transfer breaks.
        const size_t want = in().below(static_cast<uint32_t>(length) + 1);
        *transferred = static_cast<int>(in().copy(data, want));
        return ERRORS[in().below(std::size(ERRORS))];
    }
    }
}

int answer_out(const unsigned char* data, int length, int* transferred)
{
    if (length == CBW_LENGTH && std::memcmp(data, CBW_SIGNATURE, 4) == 0)
        state().last_tag = le32(data + 4);
    const uint8_t choice = in().byte();
    if (in().exhausted() && choice == 0)
        return LIBUSB_ERROR_NO_DEVICE;
    if (choice < 0xC0) {
        *transferred = length;
        return 0;
    }
    if (choice < 0xD0) {
        *transferred = static_cast<int>(in().below(static_cast<uint32_t>(length) + 1));
        return 0;
    }
    if (choice < 0xE0)
        return LIBUSB_ERROR_PIPE;
    *transferred = static_cast<int>(in().below(static_cast<uint32_t>(length) + 1));
    return ERRORS[choice % std::size(ERRORS)];
}

}  // namespace

void begin(FuzzInput* input)
{
    state() = State{};
    state().input = input;
}

void end()
{
    state() = State{};
}

}  // namespace fuzzed_usb

using fuzzed_usb::in;
using fuzzed_usb::require_context;
using fuzzed_usb::require_device;
using fuzzed_usb::require_handle;
using fuzzed_usb::state;

extern "C" {

int libusb_init(libusb_context** context)
{
    if (context != nullptr)
        fuzzed_usb::broken_contract("libusb_init: only the default context is used");
    const int result = fuzzed_usb::call_result();
    if (result == 0) {
        state().initialised = true;
        ++state().generation;
    }
    return result;
}

void libusb_exit(libusb_context*)
{
    require_context("libusb_exit");
    for (auto& handle : state().handles)
        if (!handle->closed && handle->device->generation == state().generation)
            fuzzed_usb::broken_contract("libusb_exit with a handle still open");
    state().initialised = false;
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    require_context("libusb_get_device_list");
    const uint8_t choice = in().byte();
    if (choice >= 0xF0)
        return LIBUSB_ERROR_NO_MEM;
    auto& entries = state().lists.emplace_back();
    const int count = choice % 5;
    for (int i = 0; i < count; ++i) {
        state().devices.push_back(fuzzed_usb::make_device());
        entries.push_back(state().devices.back().get());
    }
    entries.push_back(nullptr);
    *list = entries.data();
    return count;
}

void libusb_free_device_list(libusb_device**, int) {}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    require_device(device, "libusb_get_device_descriptor");
    *descriptor = device->descriptor;
    return 0;
}

uint8_t libusb_get_bus_number(libusb_device* device)
{
    require_device(device, "libusb_get_bus_number");
    return device->bus;
}

uint8_t libusb_get_port_number(libusb_device* device)
{
    require_device(device, "libusb_get_port_number");
    return device->port;
}

uint8_t libusb_get_device_address(libusb_device* device)
{
    require_device(device, "libusb_get_device_address");
    return device->address;
}

int libusb_get_device_speed(libusb_device* device)
{
    require_device(device, "libusb_get_device_speed");
    return device->speed;
}

int libusb_get_max_packet_size(libusb_device* device, unsigned char endpoint)
{
    require_device(device, "libusb_get_max_packet_size");
    for (const auto& interface : device->endpoints)
        for (const auto& setting : interface)
            for (const libusb_endpoint_descriptor& e : setting)
                if (e.bEndpointAddress == endpoint)
                    return e.wMaxPacketSize & 0x7FF;
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    require_device(device, "libusb_open");
    const int result = fuzzed_usb::call_result();
    if (result != 0)
        return result;
    auto& h = state().handles.emplace_back(std::make_unique<libusb_device_handle>());
    h->device = device;
    *handle = h.get();
    return 0;
}

void libusb_close(libusb_device_handle* handle)
{
    require_handle(handle, "libusb_close");
    handle->closed = true;
}

int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                 libusb_config_descriptor** config)
{
    require_device(device, "libusb_get_config_descriptor");
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const int result = fuzzed_usb::call_result();
    if (result != 0)
        return result;
    *config = &device->config;
    return 0;
}

void libusb_free_config_descriptor(libusb_config_descriptor*) {}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int)
{
    require_handle(handle, "libusb_set_auto_detach_kernel_driver");
    return fuzzed_usb::call_result();
}

int libusb_claim_interface(libusb_device_handle* handle, int)
{
    require_handle(handle, "libusb_claim_interface");
    return fuzzed_usb::call_result();
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t, unsigned char* data,
                                       int length)
{
    require_handle(handle, "libusb_get_string_descriptor_ascii");
    const int result = fuzzed_usb::call_result();
    if (result != 0)
        return result;
    if (length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    // A string descriptor holds at most 126 characters; libusb replaces
    // what is not ASCII and terminates the text.
    const uint32_t want = in().below(127);
    int n = 0;
    while (static_cast<uint32_t>(n) < want && n < length - 1 && !in().exhausted()) {
        const uint8_t c = in().byte();
        data[n++] = c < 0x80 ? c : '?';
    }
    data[n] = 0;
    return n;
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout)
{
    require_handle(handle, "libusb_bulk_transfer");
    if (length < 0 || (length > 0 && data == nullptr))
        fuzzed_usb::broken_contract("libusb_bulk_transfer: bad buffer");
    int done = 0;
    int result = 0;
    if (endpoint & LIBUSB_ENDPOINT_IN) {
        result = fuzzed_usb::answer_in(data, length, &done, timeout);
    } else {
        // An OUT transfer reads the whole buffer; the sanitizer sees it here.
        volatile unsigned char sink = 0;
        for (int i = 0; i < length; ++i)
            sink = sink ^ data[i];
        result = fuzzed_usb::answer_out(data, length, &done);
    }
    if (transferred != nullptr)
        *transferred = done;
    return result;
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char)
{
    require_handle(handle, "libusb_clear_halt");
    return fuzzed_usb::call_result();
}

}  // extern "C"
