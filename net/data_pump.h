#pragma once
// The data pumps: move one file over a data socket in either direction, on a transfer's
// data thread. They report to the worker whose id the record holds: WM_DATA_SOCKET at the
// start, WM_TRANSFER_PROGRESS with the bytes done (all 64 bits in wParam) after every
// chunk, WM_TRANSFER_ERROR on failure, and write every failure to the transfer's log.

#include <cstddef>

#include "net/command_connection.h"
#include "transfers/transfer_record.h"

inline constexpr std::size_t PUMP_CHUNK_SIZE = 256 * 1024;
inline constexpr std::uint32_t PUMP_READ_TIMEOUT_MS = 100000;

// Downloads into csDownloadTo + csFileName from the record's m_nSocketKey, or, for an
// upload, hands over to SendFileData. Resumes at dwDownloaded (at the end of a shorter
// local file); a finished file is transferred again from the start. Returns 1 when the
// pump ran (also after a reported failure), 0 when there was nothing to do, -1 when the
// local file could not be opened.
int TransferFileData(CTransferRecord record, CCommandConnection& connection);

// Uploads csFullFromAddress from dwDownloaded on. 1 on success, 0 on failure.
int SendFileData(CCommandConnection& connection, CTransferRecord& record);
