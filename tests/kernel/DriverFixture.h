// SPDX-License-Identifier: MIT
// A loaded driver on the host's kernel, with minor 0 open once (as a control
// program holds it), and the calls the tests make through it, each under the
// request lock as every entry into the driver runs.
#pragma once

#include "MountRecordBytes.h"
#include "RawImage.h"
#include "TempDir.h"
#include "TestKernel.h"
#include "qimmain.h"

#include <gtest/gtest.h>

#include <string>

namespace qimtest {

// Record words of a raw image served whole (a floppy).
RecordWords RawFloppyWords(const RawGeometry& g, std::uint32_t readOnly = 0);
// Record words of a raw hard disk, one partition of it.
RecordWords RawPartitionWords(const RawGeometry& g, std::uint32_t pc98, std::uint32_t partition,
                              std::uint32_t readOnly = 0);

// How many descriptors of this process have the file open.
[[nodiscard]] int OpenFileCount(const std::string& path);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    [[nodiscard]] qim::kdev_t Dev(unsigned minor = 0) const { return qim::MKDEV(qim::qim_major, minor); }
    [[nodiscard]] int Open(unsigned minor = 0);
    int Release(unsigned minor = 0);
    int Ioctl(unsigned request, unsigned long argument);
    // Places the record in user memory and sends the mount request.
    int Mount(const Bytes& record);
    int Mount(const RecordWords& words, const std::string& path) { return Mount(MountRecordBytes(words, path)); }
    int Unmount() { return Ioctl(qim::QIM_UNMOUNT, 0); }

    struct Geometry {
        int result;
        std::uint8_t heads, sectors;
        std::uint16_t cylinders;
        std::uint64_t start;
    };
    Geometry QueryGeometry();
    struct Size {
        int result;
        std::uint64_t sectors;  // the whole unsigned long the driver wrote
    };
    Size QuerySize();

    // Reads count sectors from sector on as one one-segment request; empty when it failed.
    Bytes ReadSectors(unsigned long sector, std::uint32_t count);
    // 1 when the one-segment write succeeded.
    int WriteSectors(unsigned long sector, const Bytes& data);

    [[nodiscard]] qim::QimDevice& Device() const { return qim::qim_devices[0]; }

    TempDir dir;
    int opens = 0;
};

}  // namespace qimtest
