// The real window on the real serial device, against the virtual panel on a pseudo-terminal:
// connecting in both variants, the failures the user is told about, the selectors from the
// identify reply, keys taken one per tick, and a reset that keeps COM2 at 19200 Bd.

#include "panel_canvas.h"
#include "sim_process.h"
#include "window_rig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

namespace {

// The virtual panel's command channel, with its failures reported as test failures.
class CSim {
public:
    bool Start(const QStringList& extra)
    {
        std::vector<std::string> args;
        for (const QString& arg : extra)
            args.push_back(arg.toStdString());
        std::string error;
        const bool bStarted = m_process.Start(KOVA_SIM_BINARY, args, &error);
        if (!bStarted)
            ADD_FAILURE() << error;
        return bStarted;
    }

    // One command; the lines it printed before its OK.
    QStringList Command(const QString& command)
    {
        std::vector<std::string> out;
        if (!m_process.Command(command.toStdString(), &out, 10000))
            ADD_FAILURE() << command.toStdString() << ": " << (out.empty() ? "no answer" : out.back());
        QStringList lines;
        for (const std::string& line : out)
            lines << QString::fromStdString(line);
        return lines;
    }

    QJsonObject Dump()
    {
        const std::string state = m_process.State();
        if (state.empty())
            ADD_FAILURE() << "no STATE line";
        return QJsonDocument::fromJson(QByteArray::fromStdString(state).mid(6)).object();
    }

    QByteArray Path() const { return QByteArray::fromStdString(m_process.LinkPath()); }

private:
    CSimProcess m_process;
};

QByteArray MissingDevice()
{
    return QStringLiteral("/tmp/kova-ui-test-%1-missing").arg(::getpid()).toLocal8Bit();
}

class SimWindowTest : public ::testing::Test {
protected:
    void StartSim(const QStringList& args)
    {
        ASSERT_TRUE(sim.Start(args)) << "kova_sim did not come up";
        com1 = std::make_unique<CScopedEnv>("KOVA_COM1", sim.Path().constData());
    }

    // Starts the window as the program does: the settings dialog (answered here), the
    // connect; then the poll timer is stopped so that the test takes the ticks.
    void Connect()
    {
        dlg.OnInitDialog();
        dlg.PollTimer().stop();
    }

    // Waits for the panel's next block to begin arriving, without ever racing it.
    bool WaitForBytes()
    {
        return WaitFor([&] { return dlg.Model().m_link.BytesWaiting() > 0; }, 15000);
    }

    CPanelModel& Model() { return dlg.Model(); }

    CSim sim;
    std::unique_ptr<CScopedEnv> com1;
    std::unique_ptr<CScopedEnv> com2;
    CTestPanelDlg dlg; // the real serial device; destroyed first, so the port closes first
};

} // namespace

TEST_F(SimWindowTest, PanelAcceptingVariant1ConnectsInVariant1)
{
    StartSim({QStringLiteral("--variant"), QStringLiteral("1")});
    dlg.bSerialOk = true;
    Connect();
    ASSERT_EQ(dlg.serialAsks.size(), 1u);
    EXPECT_EQ(dlg.serialAsks[0].nPortPreset, 0);
    EXPECT_EQ(dlg.serialAsks[0].nBaudPreset, 0);
    EXPECT_TRUE(dlg.boxes.empty());
    EXPECT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().m_nLinkVariant, 1);
    EXPECT_EQ(sim.Dump().value(QStringLiteral("variant")).toInt(), 1);
}

TEST_F(SimWindowTest, PanelRefusingVariant1ConnectsInVariant0)
{
    StartSim({QStringLiteral("--variant"), QStringLiteral("0")});
    Connect();
    EXPECT_TRUE(dlg.boxes.empty());
    EXPECT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().m_nLinkVariant, 0);
    // Later telegrams go out in variant 0 and are taken.
    QTest::mouseClick(dlg.Canvas(), Qt::LeftButton, {}, KeyCentre(2));
    EXPECT_EQ(sim.Dump().value(QStringLiteral("leds")).toString().size(), 12);
    EXPECT_TRUE(WaitFor([&] { return sim.Dump().value(QStringLiteral("leds")).toString().at(2) != u'0'; }, 10000))
        << sim.Dump().value(QStringLiteral("leds")).toString().toStdString();
}

TEST_F(SimWindowTest, CancelInTheDialogStillConnects)
{
    StartSim({});
    dlg.bSerialOk = false;
    Connect();
    EXPECT_EQ(dlg.serialAsks.size(), 1u);
    EXPECT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().m_nPort, 0);
    EXPECT_EQ(Model().m_nBaud, 0);
}

TEST_F(SimWindowTest, SilentPanelGivesNotFoundOnlyAndDemonstrationMode)
{
    StartSim({});
    sim.Command(QStringLiteral("fault silent on"));
    Connect();
    EXPECT_EQ(dlg.BoxIds(), (std::vector<int>{IDS_PANEL_NOT_FOUND}));
    EXPECT_EQ(Model().m_link.m_bOpen, 0);
    EXPECT_EQ(Model().m_nLinkVariant, 0);
    EXPECT_EQ(Model().m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
    EXPECT_GT(InkPixels(GrabCanvas(dlg), QRect(5, 480, 196, 16)), 50);
    // Later ticks show no further notice.
    dlg.OnTimer();
    dlg.OnTimer();
    EXPECT_EQ(dlg.boxes.size(), 1u);
}

TEST_F(SimWindowTest, MissingDeviceGivesBothMessagesInOrder)
{
    com1 = std::make_unique<CScopedEnv>("KOVA_COM1", MissingDevice().constData());
    Connect();
    EXPECT_EQ(dlg.BoxIds(), (std::vector<int>{IDS_PORT_NOT_OPENED, IDS_PANEL_NOT_FOUND}));
    for (const CTestPanelDlg::Box& box : dlg.boxes) {
        EXPECT_EQ(box.nStyle, MB_OK);
        EXPECT_FALSE(box.bLinkOpen);
    }
    EXPECT_EQ(Model().m_link.m_bOpen, 0);
    EXPECT_EQ(Model().m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
}

TEST_F(SimWindowTest, SelectorsComeFromTheIdentifyReply)
{
    StartSim({});
    // Moved while the cable is out, so that the positions reach the window only through the
    // identify reply and not as reports.
    sim.Command(QStringLiteral("unplug"));
    sim.Command(QStringLiteral("sel1 3"));
    sim.Command(QStringLiteral("sel2 5"));
    sim.Command(QStringLiteral("replug"));
    Connect();
    ASSERT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().Switch1Number(), 3);
    EXPECT_EQ(Model().Switch2Number(), 5);
    EXPECT_EQ(Model().m_link.BytesWaiting(), 0);
}

TEST_F(SimWindowTest, KeysPressedOnThePanelAreTakenOnePerTick)
{
    StartSim({});
    Connect();
    ASSERT_EQ(Model().m_link.m_bOpen, 1);
    sim.Command(QStringLiteral("press 2"));
    sim.Command(QStringLiteral("press 5"));
    sim.Command(QStringLiteral("release"));

    auto marked = [&] {
        std::vector<int> keys;
        for (int i = 0; i < kKeyCount; ++i)
            if (Model().m_keyDown[i])
                keys.push_back(i);
        return keys;
    };
    ASSERT_TRUE(WaitForBytes());
    dlg.OnTimer();
    EXPECT_EQ(marked(), std::vector<int>{1});
    EXPECT_EQ(PixelAt(GrabCanvas(dlg), KeyCentre(1).x(), KeyCentre(1).y()), qRgb(255, 0, 0));
    ASSERT_TRUE(WaitForBytes());
    dlg.OnTimer();
    EXPECT_EQ(marked(), std::vector<int>{4});
    ASSERT_TRUE(WaitForBytes());
    dlg.OnTimer();
    EXPECT_TRUE(marked().empty());
    EXPECT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_TRUE(dlg.boxes.empty());
}

TEST_F(SimWindowTest, ResetKeepsCom2At19200WithoutTheDialog)
{
    StartSim({QStringLiteral("--baud"), QStringLiteral("19200")});
    com1 = std::make_unique<CScopedEnv>("KOVA_COM1", MissingDevice().constData());
    com2 = std::make_unique<CScopedEnv>("KOVA_COM2", sim.Path().constData());
    dlg.bSerialOk = true;
    dlg.nSerialPort = 1;
    dlg.nSerialBaud = 1;
    Connect();
    ASSERT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().m_link.DevicePath(), sim.Path().toStdString());

    dlg.OnResetPanel();
    EXPECT_EQ(dlg.serialAsks.size(), 1u);
    EXPECT_TRUE(dlg.boxes.empty());
    EXPECT_EQ(Model().m_link.m_bOpen, 1);
    EXPECT_EQ(Model().m_nPort, 1);
    EXPECT_EQ(Model().m_nBaud, 1);
    EXPECT_EQ(Model().m_link.DevicePath(), sim.Path().toStdString());
}

TEST_F(SimWindowTest, PermanenceTestStopLeavesAReportInTheStateFolder)
{
    StartSim({});
    Connect();
    dlg.OnCommand(ID_PERMTEST_START, 0);
    for (int i = 0; i < 3; ++i)
        dlg.OnTimer();
    EXPECT_TRUE(Model().PermRunFigures().startsWith(QStringLiteral("Permanence test: 3 steps in 00:00:0")));
    dlg.OnCommand(ID_PERMTEST_STOP, 0);

    const QString path = Model().LastReportPath();
    ASSERT_TRUE(path.startsWith(ReportFolder() + QStringLiteral("/permanence-"))) << path.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(report[QStringLiteral("verdict")].toString(), QStringLiteral("pass"));
    EXPECT_EQ(report[QStringLiteral("steps")].toInt(), 3);
    EXPECT_EQ(report[QStringLiteral("ended_by")].toString(), QStringLiteral("stop"));
    // Six telegrams of three steps, then "l+%" and "@".
    EXPECT_EQ(report[QStringLiteral("sent")][QStringLiteral("0")].toInt(), 8);
    EXPECT_TRUE(Model().PermRunFigures().endsWith(path));
    // And its page beside it.
    QFile page(path.chopped(5) + QStringLiteral(".html"));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << page.fileName().toStdString();
    EXPECT_TRUE(page.readAll().contains("Permanence test on COM"));
}
