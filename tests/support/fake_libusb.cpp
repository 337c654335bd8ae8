// Link-time stand-in for the libusb-1.0 functions the updater calls, backed
// by the simulated bus.

#include "fake_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

struct libusb_device {
    sim::Device snapshot;  // the descriptors as enumerated
    uint32_t connection = 0;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<libusb_interface> interfaces;
    libusb_config_descriptor config{};
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    bool closed = false;
};

namespace fakeusb {
namespace {

struct Failure {
    int code;
    int nth;
};

struct State {
    sim::Bus* bus = nullptr;
    bool initialised = false;
    bool recording = true;
    std::vector<Call> calls;
    std::vector<std::string> violations;
    std::multimap<std::string, Failure> failures;
    std::map<std::string, int> counts;
    std::deque<std::unique_ptr<libusb_device>> devices;
    std::deque<std::unique_ptr<libusb_device_handle>> handles;
    std::deque<std::vector<libusb_device*>> lists;
};

State& state()
{
    static State s;
    return s;
}

// Counts the call and tells whether a failure was planned for it.
bool planned_failure(const std::string& function, int& code)
{
    State& s = state();
    const int n = ++s.counts[function];
    auto [first, last] = s.failures.equal_range(function);
    for (auto it = first; it != last; ++it) {
        if (it->second.nth == 0 || it->second.nth == n) {
            code = it->second.code;
            return true;
        }
    }
    return false;
}

Call call_of(const char* function, int result = 0, int length = 0, uint8_t endpoint = 0)
{
    Call call;
    call.function = function;
    call.result = result;
    call.length = length;
    call.endpoint = endpoint;
    return call;
}

int record(Call call)
{
    if (state().recording)
        state().calls.push_back(call);
    return call.result;
}

void violation(const std::string& what)
{
    state().violations.push_back(what);
}

bool context_usable(const char* function)
{
    if (!state().initialised) {
        violation(std::string(function) + " called without an initialised libusb context");
        return false;
    }
    return true;
}

bool handle_usable(libusb_device_handle* handle, const char* function)
{
    if (handle == nullptr) {
        violation(std::string(function) + " called with a null handle");
        return false;
    }
    if (handle->closed) {
        violation(std::string(function) + " called with a closed handle");
        return false;
    }
    return context_usable(function);
}

std::unique_ptr<libusb_device> make_device(const sim::Device& snapshot)
{
    auto device = std::make_unique<libusb_device>();
    device->snapshot = snapshot;
    device->connection = snapshot.function ? snapshot.function->connection() : 0;
    const auto& interfaces = device->snapshot.interfaces;
    device->endpoints.resize(interfaces.size());
    device->settings.resize(interfaces.size());
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const auto& alts = interfaces[i].alt_settings;
        device->endpoints[i].resize(alts.size());
        for (size_t j = 0; j < alts.size(); ++j) {
            for (const sim::Endpoint& e : alts[j].endpoints) {
                libusb_endpoint_descriptor d{};
                d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
                d.bDescriptorType = LIBUSB_DT_ENDPOINT;
                d.bEndpointAddress = e.address;
                d.bmAttributes = e.attributes;
                d.wMaxPacketSize = e.max_packet_size;
                d.bInterval = e.interval;
                device->endpoints[i][j].push_back(d);
            }
        }
    }
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const auto& alts = interfaces[i].alt_settings;
        for (size_t j = 0; j < alts.size(); ++j) {
            libusb_interface_descriptor d{};
            d.bLength = LIBUSB_DT_INTERFACE_SIZE;
            d.bDescriptorType = LIBUSB_DT_INTERFACE;
            d.bInterfaceNumber = static_cast<uint8_t>(i);
            d.bAlternateSetting = static_cast<uint8_t>(j);
            d.bNumEndpoints = static_cast<uint8_t>(alts[j].endpoints.size());
            d.bInterfaceClass = alts[j].interface_class;
            d.bInterfaceSubClass = alts[j].interface_subclass;
            d.bInterfaceProtocol = alts[j].interface_protocol;
            d.endpoint = device->endpoints[i][j].data();
            device->settings[i].push_back(d);
        }
        libusb_interface iface{};
        iface.altsetting = device->settings[i].data();
        iface.num_altsetting = static_cast<int>(alts.size());
        device->interfaces.push_back(iface);
    }
    libusb_config_descriptor& c = device->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    c.bNumInterfaces = static_cast<uint8_t>(interfaces.size());
    c.bConfigurationValue = 1;
    c.bmAttributes = 0x80;
    c.MaxPower = 50;
    c.interface = device->interfaces.data();
    return device;
}

int libusb_code(sim::Outcome outcome)
{
    switch (outcome) {
    case sim::Outcome::ok: return LIBUSB_SUCCESS;
    case sim::Outcome::stall: return LIBUSB_ERROR_PIPE;
    case sim::Outcome::timeout: return LIBUSB_ERROR_TIMEOUT;
    case sim::Outcome::no_data: return LIBUSB_ERROR_TIMEOUT;
    case sim::Outcome::disconnected: return LIBUSB_ERROR_NO_DEVICE;
    case sim::Outcome::io_error: return LIBUSB_ERROR_IO;
    }
    return LIBUSB_ERROR_OTHER;
}

}  // namespace

void reset(sim::Bus* bus)
{
    state() = State{};
    state().bus = bus;
}

void fail(const std::string& function, int code, int nth)
{
    state().failures.insert({function, Failure{code, nth}});
}

void set_recording(bool on)
{
    state().recording = on;
}

const std::vector<Call>& calls()
{
    return state().calls;
}

void clear_calls()
{
    state().calls.clear();
}

std::vector<Call> traffic()
{
    std::vector<Call> out;
    for (const Call& call : state().calls)
        if (call.function == "libusb_bulk_transfer" || call.function == "libusb_clear_halt")
            out.push_back(call);
    return out;
}

int count(const std::string& function)
{
    return static_cast<int>(std::count_if(state().calls.begin(), state().calls.end(),
                                          [&](const Call& c) { return c.function == function; }));
}

const std::vector<std::string>& violations()
{
    return state().violations;
}

}  // namespace fakeusb

using fakeusb::Call;
using fakeusb::call_of;
using fakeusb::state;

extern "C" {

int libusb_init(libusb_context** context)
{
    int code = 0;
    if (fakeusb::planned_failure("libusb_init", code))
        return fakeusb::record(call_of("libusb_init", code, 0, 0));
    if (context != nullptr)
        fakeusb::violation("libusb_init called for a context other than the default one");
    state().initialised = true;
    return fakeusb::record(call_of("libusb_init", 0, 0, 0));
}

void libusb_exit(libusb_context*)
{
    fakeusb::context_usable("libusb_exit");
    state().initialised = false;
    fakeusb::record(call_of("libusb_exit"));
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    fakeusb::context_usable("libusb_get_device_list");
    int code = 0;
    if (fakeusb::planned_failure("libusb_get_device_list", code)) {
        fakeusb::record(call_of("libusb_get_device_list", code, 0, 0));
        return code;
    }
    auto& entries = state().lists.emplace_back();
    if (state().bus != nullptr) {
        for (sim::Device* device : state().bus->enumerate()) {
            state().devices.push_back(fakeusb::make_device(*device));
            entries.push_back(state().devices.back().get());
        }
    }
    const auto n = static_cast<ssize_t>(entries.size());
    entries.push_back(nullptr);
    *list = entries.data();
    fakeusb::record(call_of("libusb_get_device_list", static_cast<int>(n), 0, 0));
    return n;
}

void libusb_free_device_list(libusb_device**, int)
{
    fakeusb::record(call_of("libusb_free_device_list"));
}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    int code = 0;
    if (fakeusb::planned_failure("libusb_get_device_descriptor", code))
        return code;
    const sim::Device& d = device->snapshot;
    *descriptor = libusb_device_descriptor{};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = d.bcd_usb;
    descriptor->bDeviceClass = d.device_class;
    descriptor->bMaxPacketSize0 = d.max_packet_size0;
    descriptor->idVendor = d.vendor_id;
    descriptor->idProduct = d.product_id;
    descriptor->bcdDevice = d.bcd_device;
    descriptor->iManufacturer = d.manufacturer_index;
    descriptor->iProduct = d.product_index;
    descriptor->iSerialNumber = d.serial_index;
    descriptor->bNumConfigurations = d.has_configuration ? 1 : 0;
    return 0;
}

uint8_t libusb_get_bus_number(libusb_device* device)
{
    return device->snapshot.bus;
}

uint8_t libusb_get_port_number(libusb_device* device)
{
    return device->snapshot.port;
}

uint8_t libusb_get_device_address(libusb_device* device)
{
    return device->snapshot.address;
}

int libusb_get_device_speed(libusb_device* device)
{
    return static_cast<int>(device->snapshot.speed);
}

int libusb_get_max_packet_size(libusb_device* device, unsigned char endpoint)
{
    // Endpoint 0 is described by no configuration descriptor; libusb looks
    // only there and so does not find it.
    if (!device->snapshot.has_configuration)
        return LIBUSB_ERROR_NOT_FOUND;
    for (const sim::Interface& i : device->snapshot.interfaces)
        for (const sim::AltSetting& s : i.alt_settings)
            for (const sim::Endpoint& e : s.endpoints)
                if (e.address == endpoint)
                    return e.max_packet_size;
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    fakeusb::context_usable("libusb_open");
    int code = 0;
    if (fakeusb::planned_failure("libusb_open", code))
        return fakeusb::record(call_of("libusb_open", code, 0, 0));
    auto& h = state().handles.emplace_back(std::make_unique<libusb_device_handle>());
    h->device = device;
    *handle = h.get();
    return fakeusb::record(call_of("libusb_open", 0, 0, 0));
}

void libusb_close(libusb_device_handle* handle)
{
    if (fakeusb::handle_usable(handle, "libusb_close"))
        handle->closed = true;
    fakeusb::record(call_of("libusb_close"));
}

int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                 libusb_config_descriptor** config)
{
    int code = 0;
    if (fakeusb::planned_failure("libusb_get_config_descriptor", code))
        return fakeusb::record(call_of("libusb_get_config_descriptor", code, 0, 0));
    if (index != 0 || !device->snapshot.has_configuration)
        return fakeusb::record(
            call_of("libusb_get_config_descriptor", LIBUSB_ERROR_NOT_FOUND, 0, 0));
    *config = &device->config;
    return fakeusb::record(call_of("libusb_get_config_descriptor", 0, 0, 0));
}

void libusb_free_config_descriptor(libusb_config_descriptor*) {}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable)
{
    fakeusb::handle_usable(handle, "libusb_set_auto_detach_kernel_driver");
    int code = 0;
    if (fakeusb::planned_failure("libusb_set_auto_detach_kernel_driver", code))
        return fakeusb::record(call_of("libusb_set_auto_detach_kernel_driver", code, enable, 0));
    return fakeusb::record(call_of("libusb_set_auto_detach_kernel_driver", 0, enable, 0));
}

int libusb_claim_interface(libusb_device_handle* handle, int interface_number)
{
    fakeusb::handle_usable(handle, "libusb_claim_interface");
    int code = 0;
    if (!fakeusb::planned_failure("libusb_claim_interface", code) &&
        interface_number >= static_cast<int>(handle->device->snapshot.interfaces.size()))
        code = LIBUSB_ERROR_NOT_FOUND;
    return fakeusb::record(call_of("libusb_claim_interface", code, interface_number, 0));
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length)
{
    fakeusb::handle_usable(handle, "libusb_get_string_descriptor_ascii");
    int code = 0;
    if (fakeusb::planned_failure("libusb_get_string_descriptor_ascii", code))
        return fakeusb::record(call_of("libusb_get_string_descriptor_ascii", code, length, index));
    const auto& strings = handle->device->snapshot.strings;
    const auto it = strings.find(index);
    // A device stalls the request for a string it does not have.
    if (it == strings.end())
        return fakeusb::record(
            {"libusb_get_string_descriptor_ascii", index, {}, length, 0, LIBUSB_ERROR_PIPE});
    const int n = std::min(static_cast<int>(it->second.size()), length - 1);
    std::memcpy(data, it->second.data(), static_cast<size_t>(n));
    data[n] = 0;
    return fakeusb::record(call_of("libusb_get_string_descriptor_ascii", n, length, index));
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout)
{
    Call call = fakeusb::call_of("libusb_bulk_transfer", 0, length, endpoint);
    call.timeout = timeout;
    const bool is_in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (!is_in)
        call.data.assign(data, data + length);
    if (transferred != nullptr)
        *transferred = 0;
    if (!fakeusb::handle_usable(handle, "libusb_bulk_transfer")) {
        call.result = LIBUSB_ERROR_NO_DEVICE;
        return fakeusb::record(call);
    }
    int code = 0;
    if (fakeusb::planned_failure("libusb_bulk_transfer", code)) {
        call.result = code;
        return fakeusb::record(call);
    }
    // usbfs refuses URBs for an endpoint the configuration does not have.
    if (libusb_get_max_packet_size(handle->device, endpoint) < 0) {
        call.result = LIBUSB_ERROR_NOT_FOUND;
        return fakeusb::record(call);
    }
    const auto& function = handle->device->snapshot.function;
    if (!function) {
        call.result = LIBUSB_ERROR_IO;
        return fakeusb::record(call);
    }
    if (function->connection() != handle->device->connection) {
        call.result = LIBUSB_ERROR_NO_DEVICE;
        return fakeusb::record(call);
    }
    sim::TransferResult result;
    if (is_in)
        result = function->bulk_in(endpoint, {data, static_cast<size_t>(length)});
    else
        result = function->bulk_out(endpoint, {data, static_cast<size_t>(length)});
    if (result.outcome == sim::Outcome::no_data && timeout == 0)
        fakeusb::violation("bulk IN on endpoint " + std::to_string(endpoint) +
                           " with no time limit that the device will never answer");
    call.result = fakeusb::libusb_code(result.outcome);
    call.transferred = static_cast<int>(result.transferred);
    if (is_in)
        call.data.assign(data, data + result.transferred);
    if (transferred != nullptr)
        *transferred = call.transferred;
    return fakeusb::record(call);
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint)
{
    Call call = fakeusb::call_of("libusb_clear_halt", 0, 0, endpoint);
    if (!fakeusb::handle_usable(handle, "libusb_clear_halt")) {
        call.result = LIBUSB_ERROR_NO_DEVICE;
        return fakeusb::record(call);
    }
    int code = 0;
    if (fakeusb::planned_failure("libusb_clear_halt", code)) {
        call.result = code;
        return fakeusb::record(call);
    }
    if (const auto& function = handle->device->snapshot.function)
        function->clear_halt(endpoint);
    return fakeusb::record(call);
}

}  // extern "C"
