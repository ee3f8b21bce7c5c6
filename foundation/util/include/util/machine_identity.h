// A numeric machine identifier derived from the first disk's serial number and model.
//
// The disk is the first whole disk in kernel name order that reports a serial number, read from
// sysfs ("serial", "device/serial", the unit serial number page "device/vpd_pg80") or else from
// the udev database (ID_SERIAL_SHORT). Partitions, loop, RAM, compressed-RAM, device-mapper, RAID
// and optical devices are not disks here. Thread-safe (the last disk found is kept under a lock).
#pragma once
#include <string>

#include "platform/types.h"

// The identifier (below 700,000,000); 600,000,000 + 0 when no disk reports a serial number.
LONG getHardDriveComputerID();

// The value for a given serial text and model text (blanks around both are ignored): the digits
// and letters of the serial folded into a decimal number (hyphens skipped, "WD-W" serials read
// from their sixth character), kept below 100,000,000, plus 300,000,000 for "IBM-" models,
// 400,000,000 for "MAXTOR"/"Maxtor", 500,000,000 for "WDC ", else 600,000,000.
LONG HardDriveIdFromText(const std::string& serial, const std::string& model);

// A serial number field as read from the disk: trailing blanks and line ends removed, leading
// blanks kept (they are part of the drive's fixed-width field); empty when it holds only blanks.
std::string SerialFieldText(const std::string& raw);

// The serial number in a udev database record (its ID_SERIAL_SHORT), cut as SerialFieldText cuts
// the sysfs fields: one disk gives one serial whichever source answers.
std::string SerialFromUdevRecord(const std::string& record);

// Serial number and model of the disk used by the last getHardDriveComputerID call (empty when
// none was found).
void LastHardDriveIdentity(std::string* serial, std::string* model);
