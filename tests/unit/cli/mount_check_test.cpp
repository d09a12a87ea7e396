// Which mounts make a source unsafe to scan: read-write ones of the device or its partitions.
#include "cli/mount_check.h"

#include <gtest/gtest.h>

namespace mdf::cli {
namespace {

constexpr const char* kMountinfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "23 22 8:2 / /mnt/data ro,relatime shared:2 - vfat /dev/sda2 ro,fmask=0022\n"
    "24 22 8:17 / /media/usb rw,nosuid,nodev - vfat /dev/sdb1 rw\n"
    "25 22 0:5 / /dev rw,nosuid shared:3 - devtmpfs udev rw\n"
    "26 22 8:3 / /mnt/rwx rwx,relatime - weird /dev/sda3 rw\n"
    "damaged line\n"
    "27 22 8:x / /broken rw - ext4 /dev/sdz rw\n";

TEST(MountCheck, ReadWriteMountsOfTheSourceOnly) {
    auto onSdb = [](unsigned major, unsigned minor) {
        return major == 8 && minor >= 16 && minor < 32;
    };
    auto found = readWriteMounts(kMountinfo, onSdb);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].mountPoint, "/media/usb");
    EXPECT_EQ(found[0].device, "/dev/sdb1");

    auto onSda = [](unsigned major, unsigned minor) { return major == 8 && minor < 16; };
    found = readWriteMounts(kMountinfo, onSda);
    ASSERT_EQ(found.size(), 1u) << "the read-only mount and the \"rwx\" option are not read-write";
    EXPECT_EQ(found[0].mountPoint, "/");
    EXPECT_EQ(found[0].device, "/dev/sda1");

    EXPECT_TRUE(readWriteMounts(kMountinfo, [](unsigned, unsigned) { return false; }).empty());
    EXPECT_TRUE(readWriteMounts("", [](unsigned, unsigned) { return true; }).empty());
}

TEST(MountCheck, AnImageFileIsNeverMounted) {
    EXPECT_TRUE(readWriteMountsOf("/proc/self/mountinfo").empty());
    EXPECT_TRUE(readWriteMountsOf("/no/such/file").empty());
}

}  // namespace
}  // namespace mdf::cli
