#pragma once
// Records for the database tests and a field-by-field comparison of everything stored.

#include <string>

#include "transfers/transfer_record.h"

namespace transfertest {

// Every stored field holds a value of its own: apostrophes, UTF-8, sizes past 4 GiB.
CTransferRecord EveryFieldSet();
// Extremes: the limits of each integer type, a long path, SQL-looking text, a NUL byte.
CTransferRecord ExtremeValues();

// A record that the table update's matching rules look at.
CTransferRecord Row(const std::string& fileName, const std::string& downloadTo, const std::string& realDownloadTo,
                    const std::string& exBlock = "");

// Expects every one of the 47 stored fields of both records to be equal.
void ExpectSameStoredFields(const CTransferRecord& expected, const CTransferRecord& actual);

}  // namespace transfertest
