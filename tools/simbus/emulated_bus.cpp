#include "emulated_bus.h"

#include <filesystem>
#include <system_error>

#include "sysfs_record.h"

namespace simbus {

namespace {

std::string sys_path(const sim::Device& device)
{
    return "/sys" + sysfs_path(device);
}

}  // namespace

EmulatedBus::EmulatedBus(const Scenario& scenario) : return_after_ms_(scenario.return_after_ms)
{
    testbed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
    bus_ = scenario_bus(scenario, bootloader_);
    for (sim::Device& device : bus_.devices) {
        plug(device);
        if (!error_.empty())
            return;
    }
}

EmulatedBus::~EmulatedBus()
{
    g_object_unref(testbed_);
    nodes_.clear();
    // umockdev removes the tree when the testbed is finalised; removing it
    // here too leaves nothing behind whatever umockdev still holds on to.
    std::error_code ignored;
    std::filesystem::remove_all(root_dir_, ignored);
}

void EmulatedBus::plug(sim::Device& device)
{
    const bool is_bootloader = device.function != nullptr;
    std::unique_ptr<UsbfsNode> node;
    {
        const std::lock_guard guard(lock_);
        // Runs on umockdev's ioctl thread: the testbed is left to the main loop.
        node = std::make_unique<UsbfsNode>(device, lock_, [this, is_bootloader] {
            if (is_bootloader)
                g_idle_add(on_dropped_off, this);
        });
    }
    // The handler must be in place before the node exists, or the first
    // open of the node finds a plain file.
    GError* failure = nullptr;
    const std::string devnode = "/dev/" + usbfs_node(device);
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), node->handler(), &failure) ||
        !umockdev_testbed_add_from_string(testbed_, umockdev_record(device).c_str(), &failure)) {
        error_ = failure != nullptr ? failure->message : "cannot add " + devnode;
        if (failure != nullptr)
            g_error_free(failure);
        return;
    }
    if (is_bootloader)
        bootloader_node_ = node.get();
    nodes_.push_back(std::move(node));
}

gboolean EmulatedBus::on_dropped_off(gpointer self)
{
    static_cast<EmulatedBus*>(self)->unplug_bootloader();
    return G_SOURCE_REMOVE;
}

gboolean EmulatedBus::on_back(gpointer self)
{
    static_cast<EmulatedBus*>(self)->replug_bootloader();
    return G_SOURCE_REMOVE;
}

void EmulatedBus::unplug_bootloader()
{
    bool returns = false;
    {
        const std::lock_guard guard(lock_);
        bootloader_node_->unplug();
        returns = !bootloader_->gone_for_good();
    }
    // udev listeners hear of the removal while the device still exists in
    // sysfs, as from the kernel.
    const std::string path = sys_path(bootloader_node_->device());
    umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, path.c_str());
    if (returns)
        g_timeout_add(static_cast<guint>(return_after_ms_), on_back, this);
}

void EmulatedBus::replug_bootloader()
{
    sim::Device* device = nullptr;
    {
        const std::lock_guard guard(lock_);
        bootloader_->reattach();
        for (sim::Device& d : bus_.devices)
            if (d.function == bootloader_)
                device = &d;
        // The hub gives a device that enumerates again the next address.
        ++device->address;
    }
    plug(*device);
    if (error_.empty())
        umockdev_testbed_uevent(testbed_, sys_path(*device).c_str(), "add");
}

bool EmulatedBus::write_flash(const std::string& path)
{
    const std::lock_guard guard(lock_);
    return bootloader_ && simbus::write_flash(*bootloader_, path);
}

}  // namespace simbus
