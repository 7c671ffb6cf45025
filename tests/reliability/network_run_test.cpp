// The runs without a display on a panel behind a serial device server on 127.0.0.1: ser2net's
// RFC 2217 accepter in front of the virtual panel (its careful operator at the keys), and
// pyserial's server for the check. --probe and what it says when the port cannot be had, a
// permanence test that outlives the server's restart, and the whole panel check.
#include "headless_rig.h"
#include "serial_server.h"

#include <QJsonArray>

namespace {

class NetworkRunTest : public HeadlessTest {
protected:
    std::vector<std::string> SimArgs() const override { return {"--operator"}; }
    void SetUp() override
    {
        if (!CSerialServer::HaveSer2net() || !CSerialServer::HavePyserial())
            GTEST_SKIP() << "ser2net or python3-serial is not installed (scripts/packages.txt, test)";
        HeadlessTest::SetUp();
        std::string error;
        ASSERT_TRUE(m_server.Start(m_sim.LinkPath(), {}, &error)) << error;
        m_strPort = QString::fromStdString(m_server.Url());
    }
    void TearDown() override { m_server.Stop(); }

    CSerialServer m_server;
};

TEST_F(NetworkRunTest, ProbeFindsThePanelOrSaysWhyTheServerCannotBeHad)
{
    ASSERT_EQ(Run({QStringLiteral("--probe")}), 0) << m_err.toStdString();
    EXPECT_TRUE(m_out.startsWith(QStringLiteral("KOVA found on COM1 (%1) at 9600 Bd").arg(m_strPort)))
        << m_out.toStdString();

    // A malformed URL is a usage error that says what is wrong with it.
    m_strPort = QStringLiteral("rfc2217://127.0.0.1");
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 2);
    EXPECT_TRUE(m_err.contains(QStringLiteral("--com1 rfc2217://127.0.0.1: no port number after the host")))
        << m_err.toStdString();

    // Nobody listening: the port error in the words of a local port, the network's reason beside.
    const int port = m_server.Port();
    m_server.Stop();
    m_strPort = QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 2);
    EXPECT_TRUE(m_err.contains(QStringLiteral("Serial Port could not be opened !"))) << m_err.toStdString();
    EXPECT_TRUE(m_err.contains(QStringLiteral("Connection refused"))) << m_err.toStdString();
}

TEST_F(NetworkRunTest, PermanenceTestOutlivesTheServersRestartAndCountsTheLoss)
{
    Start(PermTest(QStringLiteral("12s")));
    After(3000);
    m_server.Stop();
    After(2000);
    std::string error;
    ASSERT_TRUE(m_server.Restart(&error)) << error;
    EXPECT_EQ(Finish(), 1) << m_err.toStdString();
    const QJsonObject r = Report();
    EXPECT_EQ(r["device"].toString(), m_strPort);
    EXPECT_EQ(r["link_losses"].toInt(), 1);
    EXPECT_EQ(r["reconnects"].toInt(), 1);
    const QJsonArray events = r["events"].toArray();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_GT(r["steps"].toInteger(), events.last()["step"].toInteger()) << "no steps after the reconnect";
}

TEST_F(NetworkRunTest, PanelCheckPassesThroughPyserialsServer)
{
    m_server.Stop();
    CSerialServer::COptions options;
    options.kind = CSerialServer::Kind::Pyserial;
    std::string error;
    ASSERT_TRUE(m_server.Start(m_sim.LinkPath(), options, &error)) << error;
    m_strPort = QString::fromStdString(m_server.Url());
    ASSERT_EQ(Run({QStringLiteral("--check"), QStringLiteral("--timeout"), QStringLiteral("4"),
                   QStringLiteral("--seed"), QStringLiteral("5"), QStringLiteral("--report"), ReportPath()}),
              0)
        << m_out.toStdString() << m_err.toStdString();
    const QJsonObject r = Report();
    EXPECT_EQ(r["outcome"].toString(), "pass");
    EXPECT_EQ(r["items"].toArray().size(), 19);
}

} // namespace
