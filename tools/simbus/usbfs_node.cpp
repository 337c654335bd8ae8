#include "usbfs_node.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "sysfs_record.h"

namespace simbus {

namespace {

constexpr size_t SETUP_LENGTH = 8;
constexpr uint8_t REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t DEVICE_TO_HOST = 0x80;
constexpr uint8_t DT_STRING = 3;
constexpr uint8_t ENDPOINT_IN = 0x80;
constexpr size_t BUFFER_FIELD = offsetof(usbdevfs_urb, buffer);

// One URB per transfer whatever its length, as on any recent kernel.
constexpr uint32_t CAPABILITIES = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

// How the host controller driver reports a transfer's end in urb->status.
int urb_status(sim::Outcome outcome)
{
    switch (outcome) {
    case sim::Outcome::ok: return 0;
    case sim::Outcome::stall: return -EPIPE;
    case sim::Outcome::disconnected: return -ENODEV;
    case sim::Outcome::io_error: return -EPROTO;
    case sim::Outcome::timeout:
    case sim::Outcome::no_data: break;
    }
    return -EPROTO;
}

// Brings memory of the client at the pointer stored at `offset` of `data`
// into this process; whatever is changed in it goes back when the ioctl
// completes.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t length)
{
    if (data == nullptr || length == 0)
        return nullptr;
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error != nullptr)
        g_error_free(error);
    return child;
}

struct DataRef {
    UMockdevIoctlData* data;
    explicit DataRef(UMockdevIoctlData* d) : data(d) {}
    ~DataRef()
    {
        if (data != nullptr)
            g_object_unref(data);
    }
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    explicit operator bool() const { return data != nullptr; }
};

}  // namespace

UsbfsNode::UsbfsNode(const sim::Device& device, std::mutex& lock, std::function<void()> dropped_off)
    : device_(device), lock_(lock), dropped_off_(std::move(dropped_off))
{
    if (device_.function)
        connection_ = device_.function->connection();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
}

UsbfsNode::~UsbfsNode()
{
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
}

gboolean UsbfsNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* node = static_cast<UsbfsNode*>(self);
    Reply reply;
    {
        const std::lock_guard guard(node->lock_);
        reply = node->dispatch(umockdev_ioctl_client_get_request(client),
                               umockdev_ioctl_client_get_arg(client));
    }
    umockdev_ioctl_client_complete(client, reply.result, reply.error);
    return TRUE;
}

UsbfsNode::Reply UsbfsNode::dispatch(gulong request, UMockdevIoctlData* arg)
{
    switch (request) {
    case USBDEVFS_SUBMITURB: return submit(arg);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: return reap(arg);
    case USBDEVFS_DISCARDURB: return discard(arg);
    case USBDEVFS_CLEAR_HALT: return clear_halt(arg);
    case USBDEVFS_GET_CAPABILITIES: return capabilities(arg);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET: return connected_ ? Reply{0, 0} : Reply{-1, ENODEV};
    // No kernel driver is bound to any interface.
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: return {-1, ENODATA};
    default: return {-1, ENOTTY};
    }
}

bool UsbfsNode::function_present() const
{
    return connected_ && device_.function && device_.function->connection() == connection_;
}

UsbfsNode::Reply UsbfsNode::submit(UMockdevIoctlData* arg)
{
    const DataRef urb_data(resolve(arg, 0, sizeof(usbdevfs_urb)));
    if (!urb_data)
        return {-1, EFAULT};
    if (!connected_)
        return {-1, ENODEV};
    const auto* submitted = reinterpret_cast<const usbdevfs_urb*>(urb_data.data->data);
    Urb urb;
    urb.address = urb_data.data->client_addr;
    urb.type = submitted->type;
    urb.endpoint = submitted->endpoint;
    const size_t length = submitted->buffer_length > 0 ? size_t(submitted->buffer_length) : 0;
    switch (urb.type) {
    case USBDEVFS_URB_TYPE_BULK: run_bulk(urb, urb_data.data, length); break;
    case USBDEVFS_URB_TYPE_CONTROL: run_control(urb, urb_data.data, length); break;
    default: return {-1, EINVAL};
    }
    return {0, 0};
}

void UsbfsNode::run_bulk(Urb& urb, UMockdevIoctlData* urb_data, size_t buffer_length)
{
    if (!function_present()) {
        urb.status = -ENODEV;
        completed_.push_back(std::move(urb));
        return;
    }
    sim::Bootloader& function = *device_.function;
    sim::TransferResult result;
    if (urb.endpoint & ENDPOINT_IN) {
        std::vector<uint8_t> buffer(buffer_length);
        result = function.bulk_in(urb.endpoint, buffer);
        buffer.resize(result.transferred);
        urb.in_data = std::move(buffer);
    } else {
        const DataRef data(resolve(urb_data, BUFFER_FIELD, buffer_length));
        const std::span<const uint8_t> bytes =
            data ? std::span<const uint8_t>(data.data->data, buffer_length)
                 : std::span<const uint8_t>();
        result = function.bulk_out(urb.endpoint, bytes);
    }
    const bool dropped = function.detached();
    if (result.outcome == sim::Outcome::no_data || result.outcome == sim::Outcome::timeout) {
        // The device NAKs: the URB stays queued until the host gives up on
        // it and discards it.
        pending_.push_back(std::move(urb));
    } else {
        urb.status = urb_status(result.outcome);
        urb.actual_length = result.transferred;
        completed_.push_back(std::move(urb));
    }
    if (dropped && dropped_off_) {
        auto report = std::move(dropped_off_);
        dropped_off_ = nullptr;
        report();
    }
}

void UsbfsNode::run_control(Urb& urb, UMockdevIoctlData* urb_data, size_t buffer_length)
{
    urb.status = -EPIPE;  // a request the device does not know: it stalls
    urb.in_offset = SETUP_LENGTH;
    const DataRef data(resolve(urb_data, BUFFER_FIELD, buffer_length));
    if (data && buffer_length >= SETUP_LENGTH) {
        const uint8_t* setup = data.data->data;
        const uint8_t request_type = setup[0];
        const uint8_t request = setup[1];
        const uint8_t index = setup[2];
        const uint8_t descriptor_type = setup[3];
        const size_t wanted =
            std::min<size_t>(setup[6] | (setup[7] << 8), buffer_length - SETUP_LENGTH);
        if (request_type == DEVICE_TO_HOST && request == REQUEST_GET_DESCRIPTOR &&
            descriptor_type == DT_STRING) {
            std::vector<uint8_t> answer = string_descriptor(device_, index);
            if (!answer.empty()) {
                answer.resize(std::min(answer.size(), wanted));
                urb.status = 0;
                urb.actual_length = answer.size();
                urb.in_data = std::move(answer);
            }
        }
    }
    if (!connected_)
        urb.status = -ENODEV;
    completed_.push_back(std::move(urb));
}

UsbfsNode::Reply UsbfsNode::reap(UMockdevIoctlData* arg)
{
    if (completed_.empty())
        return {-1, connected_ ? EAGAIN : ENODEV};
    const DataRef pointer(resolve(arg, 0, sizeof(void*)));
    if (!pointer)
        return {-1, EFAULT};
    Urb urb = std::move(completed_.front());
    completed_.pop_front();
    // The kernel stores the address of the finished URB where the argument
    // points and fills in the URB (and, for IN, its buffer) at reap time.
    std::memcpy(pointer.data->data, &urb.address, sizeof urb.address);
    const DataRef urb_data(resolve(pointer.data, 0, sizeof(usbdevfs_urb)));
    if (!urb_data)
        return {-1, EFAULT};
    auto* reaped = reinterpret_cast<usbdevfs_urb*>(urb_data.data->data);
    reaped->status = urb.status;
    reaped->actual_length = static_cast<int>(urb.actual_length);
    reaped->error_count = 0;
    if (!urb.in_data.empty()) {
        const DataRef buffer(
            resolve(urb_data.data, BUFFER_FIELD, urb.in_offset + urb.in_data.size()));
        if (buffer)
            std::memcpy(buffer.data->data + urb.in_offset, urb.in_data.data(), urb.in_data.size());
    }
    return {0, 0};
}

UsbfsNode::Reply UsbfsNode::discard(UMockdevIoctlData* arg)
{
    // The argument is the URB's address itself, not a pointer to one.
    uint64_t address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->address == address) {
            Urb urb = std::move(*it);
            pending_.erase(it);
            urb.status = -ENOENT;
            completed_.push_back(std::move(urb));
            return {0, 0};
        }
    }
    return {-1, EINVAL};
}

UsbfsNode::Reply UsbfsNode::clear_halt(UMockdevIoctlData* arg)
{
    const DataRef endpoint(resolve(arg, 0, sizeof(unsigned int)));
    if (!endpoint)
        return {-1, EFAULT};
    if (!function_present())
        return {-1, ENODEV};
    unsigned int address = 0;
    std::memcpy(&address, endpoint.data->data, sizeof address);
    device_.function->clear_halt(static_cast<uint8_t>(address));
    return {0, 0};
}

UsbfsNode::Reply UsbfsNode::capabilities(UMockdevIoctlData* arg)
{
    const DataRef caps(resolve(arg, 0, sizeof(uint32_t)));
    if (!caps)
        return {-1, EFAULT};
    std::memcpy(caps.data->data, &CAPABILITIES, sizeof CAPABILITIES);
    return {0, 0};
}

void UsbfsNode::unplug()
{
    connected_ = false;
    while (!pending_.empty()) {
        Urb urb = std::move(pending_.front());
        pending_.pop_front();
        urb.status = -ENODEV;
        completed_.push_back(std::move(urb));
    }
}

}  // namespace simbus
