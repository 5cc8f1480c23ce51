// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_record.h"

#include <gtest/gtest.h>

namespace {

TEST(ChipRecord, FieldsKeepBytesAndRefuseWhatDoesNotFit) {
    catalogue::ChipRecord chip;
    EXPECT_TRUE(catalogue::setField(chip.name, std::string(39, 'A')));
    EXPECT_EQ(chip.nameBytes().size(), 39u);
    EXPECT_FALSE(catalogue::setField(chip.name, std::string(40, 'A')));
    EXPECT_FALSE(catalogue::setField(chip.manufacturer, std::string(20, 'B')));
    EXPECT_TRUE(catalogue::setField(chip.manufacturer, "\xBA\xA3\xCC\xA9"));  // GBK
    EXPECT_EQ(chip.manufacturerText(), "海泰");
    // A field with no terminating zero is read up to its end, never beyond.
    chip.name.fill('Z');
    EXPECT_EQ(chip.nameBytes(), std::string(40, 'Z'));
}

}  // namespace
