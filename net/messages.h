#pragma once
// The private messages between threads: numbers are WM_USER plus an offset.
// Payload rules: a heap object in a posted thread message belongs to the receiver
// (a failed post frees it with the message); objects in sent window messages stay the
// sender's unless the receiver is said to take them.

#include <cstdint>

#include "platform/message.h"

using platform::WM_USER;

// Thread messages posted to transfer workers.
inline constexpr std::uint32_t WM_CONNECT_SESSION = WM_USER + 101;
inline constexpr std::uint32_t WM_DOWNLOAD_END = WM_USER + 103;
inline constexpr std::uint32_t WM_STOP_WORKER = WM_USER + 104;
inline constexpr std::uint32_t WM_RESUME_TRANSFER = WM_USER + 105;
inline constexpr std::uint32_t WM_START_TRANSFER = WM_USER + 106;
inline constexpr std::uint32_t WM_REFRESH_LIST = WM_USER + 107;
inline constexpr std::uint32_t WM_DIR_UP = WM_USER + 108;
inline constexpr std::uint32_t WM_PAUSE_TRANSFER = WM_USER + 109;
inline constexpr std::uint32_t WM_FILE_OPERATION = WM_USER + 110;
inline constexpr std::uint32_t WM_MAKE_DIR = WM_USER + 111;
inline constexpr std::uint32_t WM_TRANSFER_PROGRESS = WM_USER + 112;
inline constexpr std::uint32_t WM_DATA_SOCKET = WM_USER + 114;
inline constexpr std::uint32_t WM_TRANSFER_ERROR = WM_USER + 116;
inline constexpr std::uint32_t WM_HTTP_SEND_REQUEST = WM_USER + 118;
inline constexpr std::uint32_t WM_HTTP_READ_RESPONSE = WM_USER + 119;
inline constexpr std::uint32_t WM_SET_TRANSFER = WM_USER + 120;
inline constexpr std::uint32_t WM_THREAD_SHUTDOWN = WM_USER + 302;
inline constexpr std::uint32_t WM_CONTINUE_JOB = WM_USER + 306;
inline constexpr std::uint32_t WM_WORKER_PING = WM_USER + 307;

// Thread messages of the peer-network threads and the find-result thread.
inline constexpr std::uint32_t WM_GNUTELLA_INIT = WM_USER + 201;
inline constexpr std::uint32_t WM_GNUTELLA_NEXT_HOST = WM_USER + 202;
inline constexpr std::uint32_t WM_GNUTELLA_QUIT = WM_USER + 205;
inline constexpr std::uint32_t WM_GNUTELLA_CLOSE = WM_USER + 208;
inline constexpr std::uint32_t WM_GNUTELLA_SET_QUERY = WM_USER + 209;
inline constexpr std::uint32_t WM_STORE_RESULTS = WM_USER + 210;
inline constexpr std::uint32_t WM_CLEAR_RESULTS = WM_USER + 216;
inline constexpr std::uint32_t WM_GNUTELLA_SEND_QUERY = WM_USER + 301;
inline constexpr std::uint32_t WM_REFRESH_RESULTS = WM_USER + 304;
inline constexpr std::uint32_t WM_UPDATE_TABLE = WM_USER + 305;

// Window messages that workers send to the main frame.
inline constexpr std::uint32_t WM_TRANSFER_EVENT = WM_USER + 125;
inline constexpr std::uint32_t WM_QUEUE_TRANSFER = WM_USER + 127;
inline constexpr std::uint32_t WM_GET_QUEUED_TRANSFER = WM_USER + 128;
inline constexpr std::uint32_t WM_NOTIFY_PROGRESS = WM_USER + 129;
inline constexpr std::uint32_t WM_NOTIFY_COMPLETE = WM_USER + 130;
inline constexpr std::uint32_t WM_NOTIFY_DATA_START = WM_USER + 132;
inline constexpr std::uint32_t WM_NOTIFY_FAILED = WM_USER + 134;
inline constexpr std::uint32_t WM_RESUME_REQUEST = WM_USER + 141;
inline constexpr std::uint32_t WM_ADD_GNUTELLA_HOST = WM_USER + 144;
inline constexpr std::uint32_t WM_START_P2P = WM_USER + 145;
inline constexpr std::uint32_t WM_DEQUEUE_TRANSFER = WM_USER + 147;
inline constexpr std::uint32_t WM_GNUTELLA_HOST_CACHE = WM_USER + 148;
inline constexpr std::uint32_t WM_TRANSFERS_SAVE_OR_LOAD = WM_USER + 149;
inline constexpr std::uint32_t WM_GNUTELLA_QUERY_LOOKUP = WM_USER + 159;
inline constexpr std::uint32_t WM_REFRESH_FOCUSED = WM_USER + 160;
inline constexpr std::uint32_t WM_START_NEXT_QUEUED = WM_USER + 162;

// Window messages the main frame sends to the transfers list.
inline constexpr std::uint32_t WM_TRANSFERS_ADD = WM_USER + 100;
inline constexpr std::uint32_t WM_TRANSFERS_UPDATE = WM_USER + 102;
inline constexpr std::uint32_t WM_TRANSFERS_REMOVE_ALL = WM_USER + 103;
inline constexpr std::uint32_t WM_TRANSFERS_REMOVE = WM_USER + 104;
inline constexpr std::uint32_t WM_TRANSFERS_GET_STATE = WM_USER + 133;

// Window messages of the explorer panes.
inline constexpr std::uint32_t WM_PANE_READY = WM_USER + 100;
inline constexpr std::uint32_t WM_PANE_RECONNECT = WM_USER + 101;
inline constexpr std::uint32_t WM_PANE_CWD_FAILED = WM_USER + 102;
inline constexpr std::uint32_t WM_PANE_DISCONNECTED = WM_USER + 104;
inline constexpr std::uint32_t WM_PANE_REFRESH = WM_USER + 107;
inline constexpr std::uint32_t WM_PANE_CLEAR_ADDRESS = WM_USER + 110;
inline constexpr std::uint32_t WM_PANE_REDRAW = WM_USER + 111;
inline constexpr std::uint32_t WM_PANE_UP = WM_USER + 112;
inline constexpr std::uint32_t WM_PANE_LOGGED_IN = WM_USER + 113;
inline constexpr std::uint32_t WM_PANE_GET_LOGIN = WM_USER + 114;
inline constexpr std::uint32_t WM_PANE_LISTING = WM_USER + 115;
inline constexpr std::uint32_t WM_PANE_GET_FOLDER = WM_USER + 117;
inline constexpr std::uint32_t WM_PANE_GET_START_FOLDER = WM_USER + 118;
inline constexpr std::uint32_t WM_PANE_FOLDER = WM_USER + 119;
inline constexpr std::uint32_t WM_PANE_GET_ADDRESS = WM_USER + 120;
inline constexpr std::uint32_t WM_PANE_GET_PATH = WM_USER + 121;
inline constexpr std::uint32_t WM_PANE_MAKE_DIR = WM_USER + 126;
inline constexpr std::uint32_t WM_PANE_DELETED = WM_USER + 131;
inline constexpr std::uint32_t WM_PANE_FILE_OPERATION = WM_USER + 150;
inline constexpr std::uint32_t WM_PANE_GET_TLS = WM_USER + 161;

// Window messages of the find-result view and the find tab.
inline constexpr std::uint32_t WM_CLEAR_RESULT_LIST = WM_USER + 135;
inline constexpr std::uint32_t WM_REQUEST_RESULTS = WM_USER + 136;
inline constexpr std::uint32_t WM_RELOAD_RESULTS = WM_USER + 137;
inline constexpr std::uint32_t WM_SET_CURRENT_QUERY = WM_USER + 138;
inline constexpr std::uint32_t WM_GET_CURRENT_QUERY = WM_USER + 143;
inline constexpr std::uint32_t WM_GET_RESULT_RECORDSET = WM_USER + 154;
inline constexpr std::uint32_t WM_GET_RESULT_SELECTION = WM_USER + 155;
inline constexpr std::uint32_t WM_SET_RESULT_COUNT = WM_USER + 156;
inline constexpr std::uint32_t WM_QUERY_SENT = WM_USER + 157;
inline constexpr std::uint32_t WM_RESULTS_RECEIVED = WM_USER + 158;
inline constexpr std::uint32_t WM_FILL_SEARCH_TEMPLATE = WM_USER + 503;

// Transfer event codes carried in the lParam of WM_TRANSFER_EVENT.
inline constexpr int TRANSFER_EVENT_CHANGED = 0;
inline constexpr int TRANSFER_EVENT_QUEUED = 4;
inline constexpr int TRANSFER_EVENT_FAILED = 8;
inline constexpr int TRANSFER_EVENT_DATA_START = 9;
inline constexpr int TRANSFER_EVENT_COMPLETE = 10;
inline constexpr int TRANSFER_EVENT_PROGRESS = 12;
inline constexpr int TRANSFER_EVENT_JOB_START = 13;

// The timeout of notifications that may be dropped when the user interface is busy.
inline constexpr std::uint32_t NOTIFY_TIMEOUT_MS = 1000;
