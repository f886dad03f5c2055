#include "app/transfers_list.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <memory>
#include <unordered_map>

#include "app/logging.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "net/socket_registry.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"
#include "transfers/find_result_thread.h"
#include "transfers/transfer_database.h"

namespace {

constexpr const char* TEXT_PAUSED = "Paused";
constexpr const char* TEXT_TRANSFERRING = "Transferring";
constexpr const char* TEXT_QUEUED = "Queued";
constexpr const char* TEXT_MORE_HOSTS = "More hosts are needed";
constexpr const char* TEXT_COMPLETE = "Complete";
constexpr const char* TEXT_CONNECTED = "Connected";
constexpr const char* TEXT_ERROR = "Error";
constexpr const char* ASK_TEXT = "Already exists in this place\nWhat you want to do?";
constexpr const char* ASK_TITLE = "Already exist !!!";

constexpr std::size_t EX_BLOCK_LENGTH = 41;
constexpr std::uint32_t WORKER_QUIT_WAIT_MS = 2000;

__extension__ typedef unsigned __int128 UInt128;

bool IsFolder(const CTransferRecord& record)
{
    return !record.FtpAttributes.empty() && std::toupper(static_cast<unsigned char>(record.FtpAttributes[0])) == 'D';
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool IsGnutella(const CTransferRecord& record)
{
    return record.csProtocol == "GNUTELLA" || record.csDestinProtocol == "GNUTELLA";
}

void CutExBlock(CTransferRecord& record)
{
    if (record.csExBlock.size() > EX_BLOCK_LENGTH)
        record.csExBlock.resize(EX_BLOCK_LENGTH);
}

std::unique_ptr<CTransferRecordArray> OneRecordArray(const CTransferRecord& record)
{
    auto array = std::make_unique<CTransferRecordArray>();
    array->Add(record);
    return array;
}

platform::WPARAM RecordParam(CTransferRecord& record) { return reinterpret_cast<platform::WPARAM>(&record); }

// Waits for a named mutex while still serving the sends of workers: a worker that holds
// it while it asks the user interface something gets its answer instead of a time-out.
void LockServingSends(platform::NamedMutex& mutex)
{
    // A plain try-lock between short waits for sends (a timed lock would hide the wait
    // from the thread checker, which does not see timed locks of recursive mutexes).
    while (!mutex.try_lock()) {
        platform::DispatchPendingSends();
        platform::WaitForUiWork(1);
    }
}

std::string TimePart(std::uint64_t value)
{
    if (value >= 1 && value <= 9)
        return "0" + std::to_string(value);
    return std::to_string(value);
}

}  // namespace

namespace transferstext {

std::string GroupThousands(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    std::string out;
    const std::size_t n = digits.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string FormatSizeKb(std::uint64_t bytes)
{
    const std::uint64_t kb = bytes == 0 ? 0 : bytes / 1024 + 1;
    return GroupThousands(kb) + " Kb";
}

std::string FormatTransferred(std::uint64_t downloaded, std::uint64_t size)
{
    // Widened, so that the largest size does not divide by zero.
    std::uint64_t percent = 100;
    if (downloaded != size)
        percent = static_cast<std::uint64_t>(static_cast<UInt128>(downloaded) * 100 / (static_cast<UInt128>(size) + 1));
    return FormatSizeKb(downloaded) + " ( " + std::to_string(percent) + "% )";
}

std::string FormatRate(std::int64_t bytesPerSecond)
{
    return std::to_string(std::max<std::int64_t>(bytesPerSecond, 0) / 1024);
}

std::string FormatTimeLeftSeconds(std::uint64_t seconds)
{
    return TimePart(seconds / 3600) + ":" + TimePart(seconds % 3600 / 60) + ":" + TimePart(seconds % 60);
}

std::string FormatTimeLeft(std::uint64_t size, std::uint64_t downloaded, std::int64_t bytesPerSecond)
{
    // More done than the size says (a file that grew): nothing is left.
    const std::uint64_t rest = downloaded < size ? size - downloaded : 0;
    const std::uint64_t rate = bytesPerSecond < 1 ? 1 : static_cast<std::uint64_t>(bytesPerSecond);
    return FormatTimeLeftSeconds(rest / rate);
}

}  // namespace transferstext

using namespace transferstext;

const char* CTransfersList::ColumnHeader(int column)
{
    static const char* const headers[COLUMN_COUNT] = {"Name",        "Size",      "Status",      "Transferred", "Source",
                                                      "Destination", "Operation", "Rate (KB/S)", "Time Left"};
    return column >= 0 && column < COLUMN_COUNT ? headers[column] : "";
}

CTransfersList::CTransfersList(CVexoApp& app, CMainFrame& frame) : m_app(app), m_frame(frame)
{
    m_hWnd = platform::RegisterWindow(this);
    m_app.m_hwndTransfers = m_hWnd;
}

CTransfersList::~CTransfersList()
{
    platform::UnregisterWindow(m_hWnd);
    if (m_app.m_hwndTransfers == m_hWnd)
        m_app.m_hwndTransfers = 0;
}

platform::LRESULT CTransfersList::WindowProc(platform::Message& msg)
{
    auto* record = reinterpret_cast<CTransferRecord*>(msg.wParam);
    switch (msg.message) {
    case WM_TRANSFERS_ADD: {
        if (!record)
            return 0;
        const int added = AddTransfer(*record);
        OnTransferEvent(*record, TRANSFER_EVENT_QUEUED);
        return added;
    }
    case WM_TRANSFERS_UPDATE:
        return record ? OnTransferEvent(*record, static_cast<int>(msg.lParam)) : 0;
    case WM_TRANSFERS_REMOVE_ALL:
        RemoveAll();
        return 0;
    case WM_TRANSFERS_REMOVE: {
        if (!record)
            return 0;
        platform::NamedMutex queue("TransfersQueueMutex");
        LockServingSends(queue);
        platform::NamedMutex update("UPDATE");
        LockServingSends(update);
        const int row = FindTransfer(*record);
        if (row >= 0)
            RemoveTransfer(static_cast<std::size_t>(row));
        update.unlock();
        queue.unlock();
        return 0;
    }
    case WM_TRANSFERS_GET_STATE:
        return record ? GetState(*record) : -1;
    case WM_TRANSFERS_SAVE_OR_LOAD:
        if (msg.wParam)
            SaveTransfers();
        else
            LoadTransfers();
        return 0;
    case platform::WM_TIMER:
        OnTimer(static_cast<int>(msg.wParam));
        return 0;
    default:
        return 0;
    }
}

std::string CTransfersList::RowText(std::size_t row, int column) const
{
    if (!RowExists(row))
        return {};
    const CTransferRecord& record = m_aTransfers[row];
    const CRowTexts& texts = m_aRows[row];
    switch (column) {
    case COLUMN_NAME:
        return record.csFileName;
    case COLUMN_SIZE:
        return FormatSizeKb(record.qwFileSize);
    case COLUMN_STATUS:
        return texts.csStatus;
    case COLUMN_TRANSFERRED:
        return FormatTransferred(record.dwDownloaded, record.qwFileSize);
    case COLUMN_SOURCE:
        return texts.csSource;
    case COLUMN_DESTINATION:
        return texts.csDestination;
    case COLUMN_RATE:
        return texts.csRate;
    case COLUMN_TIME_LEFT:
        return texts.csTimeLeft;
    default:
        return {};
    }
}

void CTransfersList::AppendRow(const CTransferRecord& record)
{
    m_aTransfers.Add(record);
    m_aTransfers[m_aTransfers.GetSize() - 1].dwTransfersIndex = static_cast<std::int32_t>(m_aTransfers.GetSize() - 1);
    m_aRows.emplace_back();
}

void CTransfersList::EraseRow(std::size_t row)
{
    m_aTransfers.RemoveAt(row);
    for (std::size_t i = row; i < m_aTransfers.GetSize(); ++i)
        m_aTransfers[i].dwTransfersIndex = static_cast<std::int32_t>(i);
    m_aRows.erase(m_aRows.begin() + static_cast<std::ptrdiff_t>(row));
}

void CTransfersList::TakeFullCopy(std::size_t row, const CTransferRecord& record)
{
    if (&m_aTransfers[row] != &record)
        m_aTransfers[row] = record;
}

int CTransfersList::FindTransfer(CTransferRecord& record)
{
    CutExBlock(record);
    const bool byBlock = record.csProtocol == "GNUTELLA" && !record.csExBlock.empty();
    auto sameFile = [&record](const CTransferRecord& row) {
        const bool sameRealDestination = row.csRealDownloadTo == record.csRealDownloadTo;
        return row.csFileName == record.csFileName && row.qwFileSize == record.qwFileSize &&
               (sameRealDestination || row.csDownloadTo == record.csDownloadTo) &&
               (sameRealDestination || record.csRealDownloadTo.empty());
    };
    // Records carry the number of the row they came from; trying it first keeps the
    // notifications of thousands of rows from scanning the whole list each time.
    const std::int32_t hint = record.dwTransfersIndex;
    if (hint >= 0 && static_cast<std::size_t>(hint) < m_aTransfers.GetSize() &&
        sameFile(m_aTransfers[static_cast<std::size_t>(hint)]))
        return hint;
    for (std::size_t i = 0; i < m_aTransfers.GetSize(); ++i) {
        CTransferRecord& row = m_aTransfers[i];
        if (sameFile(row))
            return static_cast<int>(i);
        if (byBlock) {
            CutExBlock(row);
            if (row.csExBlock == record.csExBlock)
                return static_cast<int>(i);
        }
    }
    return -1;
}

void CTransfersList::ShowAdded(std::size_t row, CTransferRecord& record)
{
    CTransferRecord& copy = m_aTransfers[row];
    copy.qwFileSize = record.qwFileSize;
    copy.csFullFromAddress = record.csFullFromAddress;
    copy.csDownloadTo = record.csDownloadTo;
    copy.dwDownloaded = record.dwDownloaded;
    m_aRows[row].csSource = copy.csFullFromAddress;
    m_aRows[row].csDestination = copy.csDownloadTo;

    if (record.nTransfersState == TRANSFER_STATE_COMPLETE) {
        SetStatus(row, TEXT_COMPLETE);
    } else if (record.nTransfersState == TRANSFER_STATE_PAUSED) {
        SetStatus(row, TEXT_PAUSED);
    } else {
        SetStatus(row, TEXT_QUEUED);
        record.nTransfersState = TRANSFER_STATE_QUEUED;
    }
    copy.nTransfersState = record.nTransfersState;
}

int CTransfersList::AddTransfer(CTransferRecord& record)
{
    if (record.bGnutGroupMember)
        return 0;
    if (IsFolder(record)) {
        record.qwFileSize = 0;
        record.dwDownloaded = 0;
        return 0;
    }
    int row = FindTransfer(record);
    if (row < 0) {
        record.dwTransfersIndex = static_cast<std::int32_t>(m_aTransfers.GetSize());
        m_frame.m_database.InsertRecord(ETransferTable::Transfers, record);
        AppendRow(record);
        row = FindTransfer(record);
        if (row < 0)
            return 0;
    }
    ShowAdded(static_cast<std::size_t>(row), record);
    return 1;
}

void CTransfersList::StartTransfer(std::size_t row, bool direct)
{
    if (!RowExists(row))
        return;
    CTransferRecord& copy = m_aTransfers[row];
    const std::int32_t oldDeleted = copy.bDeleted;
    const std::uint16_t oldState = copy.nTransfersState;
    // Set before the request: the frame may answer at once with a queued event.
    copy.bDeleted = 0;
    copy.nTransfersState = TRANSFER_STATE_STARTING;

    platform::Message resume;
    resume.message = WM_RESUME_REQUEST;
    resume.lParam = direct ? 1 : 0;
    resume.payload = std::make_unique<CTransferRecord>(copy);
    const platform::LRESULT handled = platform::SendMessage(m_frame.m_hWnd, resume);

    // A start from the queue that the frame dropped (no longer queued) leaves the row as
    // it was; the frame handled nothing else of it.
    if (!direct && handled == 0 && RowExists(row) && m_aTransfers[row].nTransfersState == TRANSFER_STATE_STARTING) {
        m_aTransfers[row].bDeleted = oldDeleted;
        m_aTransfers[row].nTransfersState = oldState;
    }
}

void CTransfersList::StopWorker(const CTransferRecord& record)
{
    if (platform::PostThreadMessage(record.m_dwWorkerThreadId, WM_PAUSE_TRANSFER, 0, 0, OneRecordArray(record)))
        return;
    // No worker any more: its socket may still be open.
    if (record.m_nSocketKey != -1) {
        ShutdownSocket(record.m_nSocketKey, SD_BOTH);
        CloseSocket(record.m_nSocketKey);
    }
}

void CTransfersList::RemoveTransfer(std::size_t row)
{
    if (!RowExists(row))
        return;
    CTransferRecord record = m_aTransfers[row];
    platform::SendMessage(m_frame.m_hWnd, WM_DEQUEUE_TRANSFER, RecordParam(record), 0);
    StopWorker(record);
    m_frame.m_database.DeleteTransfer(ETransferTable::Transfers, record);
    // The frame's answer may have moved rows; remove the one that is still this record.
    if (!RowExists(row) || m_aTransfers[row].csFileName != record.csFileName) {
        const int found = FindTransfer(record);
        if (found < 0)
            return;
        row = static_cast<std::size_t>(found);
    }
    EraseRow(row);
}

bool CTransfersList::SaveTransfers() { return SaveTransfersWaiting(false); }

bool CTransfersList::SaveTransfersWaiting(bool waitUntilWritten)
{
    auto request = std::make_unique<CUpdateTableRequest>();
    request->m_aRecords.Reserve(m_aTransfers.GetSize());
    for (const CTransferRecord& record : m_aTransfers)
        request->m_aRecords.Add(record);
    for (const CTransferRecord& queued : m_frame.m_pendingQueue)
        if (IsFolder(queued))
            request->m_aRecords.Add(queued);
    request->m_csTable = TransferTableName(ETransferTable::Transfers);

    std::shared_ptr<platform::Event> done;
    std::shared_ptr<bool> written;
    std::unique_ptr<CTransferRecordArray> fallback;
    if (waitUntilWritten) {
        done = std::make_shared<platform::Event>(true, false);
        written = std::make_shared<bool>(false);
        request->m_pDone = done;
        request->m_pWritten = written;
        fallback = std::make_unique<CTransferRecordArray>(request->m_aRecords);
    }
    const bool posted = platform::PostThreadMessage(m_frame.m_findResultThread.id, WM_UPDATE_TABLE, 0, 0,
                                                    std::move(request));
    if (!waitUntilWritten)
        return posted;

    platform::WaitPumpingSends(*done);
    if (*written)
        return true;
    // The find-result thread could not write it: the main connection does.
    platform::WaitPumpingSends(m_frame.m_hDatabaseIdle);
    const CTableUpdateResult result =
        m_frame.m_database.UpdateTableFromRecords(*fallback, ETransferTable::Transfers, m_frame.m_hDatabaseIdle);
    if (result.eResult != ETableUpdate::Updated)
        WriteLogLine("Transfers list: the transfers could not be saved", MAIN_LOG_FILE);
    return result.eResult == ETableUpdate::Updated;
}

void CTransfersList::LoadTransfers(bool startAgain)
{
    CTransferRecordArray stored;
    if (!m_frame.m_database.LoadRecords(ETransferTable::Transfers, stored))
        WriteLogLine("Transfers list: the stored transfers could not be read", MAIN_LOG_FILE);

    // A reload while transfers run: rows whose worker runs (or is being started) keep
    // that, so no second worker starts on the same file.
    struct CRunning {
        CTransferRecord record;
        CRowTexts texts;
    };
    std::unordered_multimap<std::string, CRunning> running;
    for (std::size_t i = 0; i < m_aTransfers.GetSize(); ++i) {
        const std::uint16_t state = m_aTransfers[i].nTransfersState;
        if (state == TRANSFER_STATE_RUNNING || state == TRANSFER_STATE_STARTING)
            running.emplace(m_aTransfers[i].csFileName, CRunning{m_aTransfers[i], m_aRows[i]});
    }

    m_aTransfers.RemoveAll();
    m_aRows.clear();
    m_aTransfers.Reserve(stored.GetSize());
    m_aRows.reserve(stored.GetSize());
    for (CTransferRecord& record : stored) {
        record.dwCurrentGroupIndex = 0;
        if (IsFolder(record)) {
            // Folder jobs wait in the frame's queue; a reload does not queue them twice.
            if (m_frame.FindQueued(record) < 0)
                m_frame.m_pendingQueue.Add(record);
            continue;
        }
        AppendRow(record);
    }

    for (std::size_t i = 0; i < m_aTransfers.GetSize(); ++i) {
        if (!running.empty()) {
            auto [first, last] = running.equal_range(m_aTransfers[i].csFileName);
            bool kept = false;
            for (auto it = first; it != last; ++it) {
                CTransferRecord& old = it->second.record;
                const CTransferRecord& now = m_aTransfers[i];
                if (old.qwFileSize == now.qwFileSize && old.csRealDownloadTo == now.csRealDownloadTo) {
                    m_aTransfers[i] = old;
                    m_aRows[i] = it->second.texts;
                    running.erase(it);
                    kept = true;
                    break;
                }
            }
            if (kept)
                continue;
        }
        ShowAdded(i, m_aTransfers[i]);
        const std::uint16_t state = m_aTransfers[i].nTransfersState;
        if (startAgain && (state == TRANSFER_STATE_RUNNING || state == TRANSFER_STATE_QUEUED ||
                           state == TRANSFER_STATE_STARTING))
            m_aWaitingStarts.push_back(m_aTransfers[i]);
    }
    StartWaiting();
}

bool CTransfersList::StartWaiting()
{
    std::size_t started = 0;
    std::size_t next = 0;
    for (; next < m_aWaitingStarts.size() && started < START_BATCH; ++next) {
        const int row = FindTransfer(m_aWaitingStarts[next]);
        if (row < 0 || m_aTransfers[static_cast<std::size_t>(row)].nTransfersState != TRANSFER_STATE_QUEUED)
            continue;
        StartTransfer(static_cast<std::size_t>(row), true);
        ++started;
    }
    m_aWaitingStarts.erase(m_aWaitingStarts.begin(), m_aWaitingStarts.begin() + static_cast<std::ptrdiff_t>(next));
    return !m_aWaitingStarts.empty();
}

int CTransfersList::GetState(CTransferRecord& record)
{
    const int row = FindTransfer(record);
    return row < 0 ? -1 : m_aTransfers[static_cast<std::size_t>(row)].nTransfersState;
}

platform::LRESULT CTransfersList::OnTransferEvent(CTransferRecord& record, int event)
{
    int found = FindTransfer(record);
    if (found < 0 && record.nTransfersState != TRANSFER_STATE_PAUSED && event == TRANSFER_EVENT_JOB_START) {
        AddTransfer(record);
        found = FindTransfer(record);
        event = TRANSFER_EVENT_PROGRESS;
    }
    if (found < 0 || static_cast<std::size_t>(found) >= m_aTransfers.GetSize()) {
        AddTransferLog(record, "ERROR: ipIndex == -1 or ipIndex >= Count(" + std::to_string(m_aTransfers.GetSize()) + ")");
        return 0;
    }
    const std::size_t row = static_cast<std::size_t>(found);
    CTransferRecord& copy = m_aTransfers[row];

    copy.m_dwWorkerThreadId = record.m_dwWorkerThreadId;
    copy.csDownloadTo = record.csDownloadTo;
    copy.csFullFromAddress = record.csFullFromAddress;
    const std::string& temp = m_app.m_csTempDir;
    if (!temp.empty() && Contains(record.csFullFromAddress, temp) && Contains(record.csDownloadTo, temp))
        record.csDownloadTo = record.csRealDownloadTo;

    if (record.nTransfersState == TRANSFER_STATE_PAUSED)
        event = TRANSFER_EVENT_PAUSED;

    // Peer-download events for a paused or running row are out of date.
    auto outOfDate = [&]() -> bool {
        if (copy.nTransfersState == TRANSFER_STATE_PAUSED) {
            record.nTransfersState = TRANSFER_STATE_PAUSED;
            AddTransferLog(record, "m_nTransfersState = Pause");
            return true;
        }
        if (copy.nTransfersState == TRANSFER_STATE_RUNNING) {
            AddTransferLog(record, "m_nTransfersState = Started");
            return true;
        }
        return false;
    };

    switch (event) {
    case TRANSFER_EVENT_PAUSED:
        TakeFullCopy(row, record);
        SetStatus(row, TEXT_PAUSED);
        break;
    case TRANSFER_EVENT_QUEUED:
        if (copy.nTransfersState != TRANSFER_STATE_PAUSED && copy.nTransfersState != TRANSFER_STATE_COMPLETE) {
            record.nTransfersState = TRANSFER_STATE_QUEUED;
            TakeFullCopy(row, record);
            SetStatus(row, TEXT_QUEUED);
            if (IsGnutella(record)) {
                // A peer download retries at once while it is still queued.
                StartTransfer(row, false);
                if (!RowExists(row))
                    return 1;
            }
        }
        break;
    case TRANSFER_EVENT_NEXT_SOURCE:
        if (outOfDate())
            return 0;
        if (static_cast<std::uint32_t>(copy.dwCurrentGroupIndex) > static_cast<std::uint32_t>(record.dwCurrentGroupIndex)) {
            AddTransferLog(record, "ERROR in m_dwCurrentGroupIndex");
            return 0;
        }
        copy.dwCurrentGroupIndex = record.dwCurrentGroupIndex;
        if (copy.dwTryConnecting > record.dwTryConnecting && record.dwTryConnecting != 1) {
            AddTransferLog(record, "ERROR in m_dwTryConnecting");
            return 0;
        }
        copy.nTransfersState = TRANSFER_STATE_STARTING;
        copy.dwTryConnecting = record.dwTryConnecting;
        SetStatus(row, "Connecting " + std::to_string(copy.dwTryConnecting) + " of " +
                           std::to_string(record.dwCurrentGroupIndex + 1));
        break;
    case TRANSFER_EVENT_SOURCE_CONNECTED:
        if (outOfDate())
            return 0;
        record.csFileName = copy.csFileName;
        SetStatus(row, TEXT_CONNECTED);
        break;
    case TRANSFER_EVENT_OUT_OF_SOURCES:
        if (outOfDate())
            return 0;
        record.nTransfersState = TRANSFER_STATE_QUEUED;
        TakeFullCopy(row, record);
        SetStatus(row, TEXT_MORE_HOSTS);
        break;
    case TRANSFER_EVENT_FAILED:
        if (copy.nTransfersState == TRANSFER_STATE_PAUSED) {
            outOfDate();
            return 0;
        }
        TakeFullCopy(row, record);
        SetStatus(row, TEXT_ERROR);
        break;
    case TRANSFER_EVENT_DATA_START:
        m_aRows[row].csSource = record.csFullFromAddress;
        m_aRows[row].csDestination = record.csDownloadTo;
        copy.nTransfersState = TRANSFER_STATE_RUNNING;
        break;
    case TRANSFER_EVENT_COMPLETE:
        SetStatus(row, TEXT_COMPLETE);
        record.nTransfersState = TRANSFER_STATE_COMPLETE;
        copy.nTransfersState = TRANSFER_STATE_COMPLETE;
        copy.dwDownloaded = record.dwDownloaded;
        copy.qwFileSize = record.qwFileSize;
        break;
    case TRANSFER_EVENT_PROGRESS:
        if (copy.nTransfersState == TRANSFER_STATE_PAUSED) {
            outOfDate();
            return 0;
        }
        m_aRows[row].csRate = FormatRate(record.m_dwSpeed);
        m_aRows[row].csTimeLeft = FormatTimeLeft(record.qwFileSize, record.dwDownloaded, record.m_dwSpeed);
        copy.dwDownloaded = record.dwDownloaded;
        copy.qwFileSize = record.qwFileSize;
        if (copy.nTransfersState == TRANSFER_STATE_RUNNING)
            SetStatus(row, TEXT_TRANSFERRING);
        return 1;
    default:
        break;
    }

    CTransferRecord& tail = m_aTransfers[row];
    tail.m_nSocketKey = record.m_nSocketKey;
    tail.csUser = record.csUser;
    tail.csPassword = record.csPassword;
    tail.csUserSource = record.csUserSource;
    tail.csPasswordSource = record.csPasswordSource;
    tail.csProtocol = record.csProtocol;
    tail.csDestinProtocol = record.csDestinProtocol;
    return 1;
}

int CTransfersList::AskIfExists(const std::vector<std::string>& paneNames, const CTransferRecord& record) const
{
    if (std::find(paneNames.begin(), paneNames.end(), record.csFileName) == paneNames.end())
        return ASK_NOT_THERE;
    if (!m_askIfExists)
        return ASK_OVERWRITE;
    const std::string text = record.csRealDownloadTo + record.csFileName + "\r\n" + ASK_TEXT;
    const int answer = m_askIfExists(record, text, ASK_TITLE);
    // Anything but a button's answer counts as closing the dialog.
    if (answer == ASK_OVERWRITE || answer == ASK_SYNCHRONIZE)
        return answer;
    return ASK_CANCEL;
}

std::vector<std::size_t> CTransfersList::ValidRowsDescending(const std::vector<std::size_t>& rows) const
{
    std::vector<std::size_t> valid;
    for (std::size_t row : rows)
        if (RowExists(row))
            valid.push_back(row);
    std::sort(valid.begin(), valid.end(), std::greater<>());
    valid.erase(std::unique(valid.begin(), valid.end()), valid.end());
    return valid;
}

void CTransfersList::Start(const std::vector<std::size_t>& rows)
{
    std::vector<std::size_t> ordered = ValidRowsDescending(rows);
    std::reverse(ordered.begin(), ordered.end());
    for (std::size_t row : ordered)
        if (RowExists(row) && m_aTransfers[row].nTransfersState != TRANSFER_STATE_RUNNING)
            StartTransfer(row, true);
}

void CTransfersList::Pause(const std::vector<std::size_t>& rows)
{
    std::vector<std::size_t> ordered = ValidRowsDescending(rows);
    std::reverse(ordered.begin(), ordered.end());
    for (std::size_t row : ordered) {
        if (!RowExists(row))
            continue;
        platform::PostThreadMessage(m_aTransfers[row].m_dwWorkerThreadId, WM_PAUSE_TRANSFER, 0, 0,
                                    OneRecordArray(m_aTransfers[row]));
        m_aTransfers[row].nTransfersState = TRANSFER_STATE_PAUSED;
        CTransferRecord record = m_aTransfers[row];
        platform::SendMessage(m_frame.m_hWnd, WM_TRANSFER_EVENT, RecordParam(record), TRANSFER_EVENT_CHANGED);
    }
}

void CTransfersList::Delete(const std::vector<std::size_t>& rows)
{
    {
        platform::NamedMutex queue("TransfersQueueMutex");
        LockServingSends(queue);
        platform::NamedMutex update("UPDATE");
        LockServingSends(update);
        // From the bottom, so that the rows still to go keep their numbers.
        for (std::size_t row : ValidRowsDescending(rows))
            RemoveTransfer(row);
        if (m_aTransfers.IsEmpty())
            m_frame.m_pendingQueue.RemoveAll();
        update.unlock();
        queue.unlock();
    }
    SaveTransfers();
}

void CTransfersList::RemoveAll()
{
    std::vector<std::size_t> all(m_aTransfers.GetSize());
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    Delete(all);
}

void CTransfersList::Redownload(const std::vector<std::size_t>& rows)
{
    std::vector<std::size_t> ordered = ValidRowsDescending(rows);
    std::reverse(ordered.begin(), ordered.end());
    for (std::size_t row : ordered) {
        if (!RowExists(row) || m_aTransfers[row].nTransfersState == TRANSFER_STATE_RUNNING)
            continue;
        CTransferRecord& record = m_aTransfers[row];
        record.m_dwWorkerThreadId = static_cast<platform::ThreadId>(-1);
        record.dwDownloaded = 0;
        record.csDownloadTo = record.csRealDownloadTo;
        const std::string source = Upper(record.csOldSource);
        const std::string ftp = "FTP://";
        const std::string ftps = "FTPS://";
        if (Contains(source, ftp) || Contains(source, ftps)) {
            record.csProtocol = Contains(source, ftps) ? "FTPS" : "FTP";
            if (Contains(Upper(record.csDownloadTo), ftp))
                record.bDownloadToTemp = 1;
            if (record.csOldSource.empty() || record.csOldSource.back() != '/')
                record.csOldSource += '/';
        }
        record.csFullFromAddress = record.csOldSource;
        StartTransfer(row, true);
    }
}

void CTransfersList::OnTimer(int timerId)
{
    if (timerId != SAVE_TIMER_ID)
        return;
    StartWaiting();
    SaveTransfers();
}

void CTransfersList::OnDestroy()
{
    if (m_bDestroyed)
        return;
    m_bDestroyed = true;
    SaveTransfersWaiting(true);

    std::vector<platform::ThreadId> workers;
    for (const CTransferRecord& record : m_aTransfers)
        if (record.nTransfersState == TRANSFER_STATE_RUNNING && record.m_dwWorkerThreadId != 0)
            workers.push_back(record.m_dwWorkerThreadId);
    for (platform::ThreadId worker : workers) {
        if (!platform::PostThreadMessage(worker, platform::WM_QUIT))
            continue;
        for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i) {
            const CWorkerSlotTable::Slot& slot = m_app.m_workerSlots[i];
            if (slot.nThreadId == worker && slot.hThread) {
                platform::ThreadHandle handle = slot.hThread;
                platform::WaitPumpingSends(handle, WORKER_QUIT_WAIT_MS);
                break;
            }
        }
    }
}
