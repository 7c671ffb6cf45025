// Started with nothing in the environment, the program finds the virtual panel on the port the
// user saved in the configuration, and finds a port saved while it runs at the next reset.
#include "port_config.h"
#include "port_names.h"
#include "port_test_tree.h"
#include "reliability_util.h"
#include "scoped_env.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#ifndef KOVA_SIM_BINARY
#error "KOVA_SIM_BINARY must name the simulator binary"
#endif

namespace {

class SavedPortTest : public ::testing::Test {
protected:
    SavedPortTest()
        : m_home("XDG_CONFIG_HOME", m_tree.ConfigHome().toLocal8Bit().constData()), m_com1("KOVA_COM1", nullptr),
          m_com2("KOVA_COM2", nullptr)
    {
        m_view.m_pModel = &m_model;
        m_model.InitState();
    }
    ~SavedPortTest() override
    {
        m_model.m_link.Close();
        m_sim.Stop();
    }

    CFakePortTree m_tree;
    CScopedEnv m_home;
    CScopedEnv m_com1;
    CScopedEnv m_com2;
    CSimProcess m_sim;
    CTestView m_view;
    CPanelModel m_model{m_view};
};

TEST_F(SavedPortTest, ConfiguredCom1ReachesThePanelWithoutEnvironment)
{
    std::string error;
    ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    QString message;
    ASSERT_EQ(SavePortConfig(1, QString::fromStdString(m_sim.LinkPath()), m_model.PortSetup(), &message), 0)
        << message.toStdString();

    m_model.OnSerialPort();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
    EXPECT_TRUE(m_view.m_messages.empty());
    EXPECT_EQ(m_model.m_link.DevicePath(), m_sim.LinkPath());
}

TEST_F(SavedPortTest, PortSavedWhileRunningIsUsedAtTheNextReset)
{
    // COM2 leads to something that is no serial port (written by hand: --save-port refuses
    // it): the port error, demonstration mode.
    ASSERT_TRUE(m_tree.WriteFile(m_tree.ConfigFile(), "[ports]\nCOM2=/dev/null\n"));
    m_model.m_nPort = 1;
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    ASSERT_EQ(m_view.Count(IDS_PORT_NOT_OPENED), 1);

    std::string error;
    ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    ASSERT_EQ(SavePortConfig(2, QString::fromStdString(m_sim.LinkPath()), m_model.PortSetup(), nullptr), 0);
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
    EXPECT_EQ(m_view.Count(IDS_PORT_NOT_OPENED), 1);
}

} // namespace
