// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chip table in CSV form, the source the chip database file is built from.
//
// One header line naming the columns
//   type,name,manufacturer,capacity,page_write,page_size,manufacturer_id,device_id,level,mode93,organisation
// then one chip a line. Types are the CSV names of kChipTypes (chip_record.h):
// SPI_FLASH, EEPROM24, EEPROM25, EEPROM93;
// IDs are hexadecimal ("0xEF"); other numbers decimal. Text is UTF-8 and is
// stored as GBK, so the name and manufacturer limits (39 and 19 bytes) count
// GBK bytes, and a name holding a character GBK lacks is refused. Every row is then held
// to recordProblem (chip_record.h), as the database loader holds the file's records;
// names must also be unique. Blank lines and lines starting with '#' are skipped.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/chip_record.h"

namespace catalogue {

struct CsvError {
    int line = 0;  // 1-based line of the file
    std::string reason;
};

struct ChipTable {
    std::vector<ChipRecord> chips;
    std::vector<CsvError> errors;  // empty when every line was good
};

ChipTable parseChipCsv(std::string_view text);

}  // namespace catalogue
