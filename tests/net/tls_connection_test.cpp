#include <gtest/gtest.h>

#include "app/vexo_app.h"
#include "net/command_connection.h"
#include "net/data_pump.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"
#include "support/test_certificates.h"
#include "support/tls_test_server.h"

namespace {

class NullFrame : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message&) override { return 0; }
};

}  // namespace

TEST(TlsConnection, ConnectsOnTheGivenPortAndPumpsAFileThroughTheChannel)
{
    testsupport::TestCertificates certificates;
    testsupport::TempFolder served;
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7919 >> 3);
    testsupport::WriteWholeFile(served / "file.bin", content);
    testsupport::TlsTestServer server;
    ASSERT_TRUE(server.Start(certificates.localhost.cert, certificates.localhost.key, {"-WWW"}, served.Path()))
        << server.Output();
    ASSERT_TRUE(CTlsSettings::AddCaFile(certificates.ca.cert));

    testsupport::TempFolder local;
    CVexoApp app{"/nonexistent/korvalo", platform::Registry("/nonexistent/registry")};
    app.m_csLogsDir = local.Path() + "/";
    platform::SetUiThread();
    platform::ThreadQueueScope queue;
    NullFrame frame;
    CCommandConnection connection;
    connection.m_pMainWnd = platform::RegisterWindow(&frame);

    SOCKET socket = INVALID_SOCKET;
    ASSERT_TRUE(connection.Connect1("localhost", server.Port(), socket, 5000, true)) << connection.m_csError;
    EXPECT_EQ(connection.m_dwLastError, 0u);
    std::string request = "GET /file.bin HTTP/1.0\r\n\r\n", header;
    std::size_t length = request.size();
    ASSERT_TRUE(connection.SendAndWait(socket, request.data(), length));
    ASSERT_TRUE(connection.ReadString(socket, header, "\r\n\r\n", 5000)) << connection.m_csError;
    EXPECT_EQ(header.rfind("HTTP/1.0 200", 0), 0u) << header;

    CTransferRecord record;
    record.csDownloadTo = local.Path() + "/";
    record.csFileName = "file.bin";
    record.qwFileSize = content.size();
    record.m_nSocketKey = socket;
    record.m_dwWorkerThreadId = queue.Id();
    EXPECT_EQ(TransferFileData(record, connection), 1);
    EXPECT_TRUE(testsupport::ReadWholeFile(local / "file.bin") == content);
    EXPECT_FALSE(IsRegisteredSocket(socket));
    platform::UnregisterWindow(connection.m_pMainWnd);
}

TEST(TlsConnection, AnUntrustedCertificateFailsTheConnectWithAClearMessage)
{
    testsupport::TestCertificates certificates;
    testsupport::TlsTestServer server;
    ASSERT_TRUE(server.Start(certificates.selfSigned.cert, certificates.selfSigned.key)) << server.Output();
    CCommandConnection connection;
    SOCKET socket = INVALID_SOCKET;
    EXPECT_FALSE(connection.Connect1("localhost", server.Port(), socket, 5000, true));
    EXPECT_EQ(socket, INVALID_SOCKET);
    EXPECT_NE(connection.m_csError.find("The certificate of localhost is not trusted"), std::string::npos)
        << connection.m_csError;
    EXPECT_NE(connection.m_dwLastError, 0u);
}
