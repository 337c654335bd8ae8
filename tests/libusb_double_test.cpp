// The double must speak libusb's own words: every message of the updater that
// names an error is compared byte for byte in the other tests.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <string>

namespace {

TEST(LibusbDouble, ErrorNamesAndDescriptionsMatchTheRealLibrary)
{
    void* real = ::dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(real, nullptr) << ::dlerror();
    using Text = const char* (*)(int);
    auto real_name = reinterpret_cast<Text>(::dlsym(real, "libusb_error_name"));
    auto real_description = reinterpret_cast<Text>(::dlsym(real, "libusb_strerror"));
    ASSERT_NE(real_name, nullptr);
    ASSERT_NE(real_description, nullptr);

    for (int code = -14; code <= 7; ++code) {
        EXPECT_STREQ(libusb_error_name(code), real_name(code)) << "code " << code;
        EXPECT_STREQ(libusb_strerror(code), real_description(code)) << "code " << code;
    }
    for (int code : {int{LIBUSB_ERROR_OTHER}, -100, 100}) {
        EXPECT_STREQ(libusb_error_name(code), real_name(code)) << "code " << code;
        EXPECT_STREQ(libusb_strerror(code), real_description(code)) << "code " << code;
    }
    ::dlclose(real);
}

}  // namespace
