#pragma once

#include "panel_model.h"

#include <QApplication>
#include <QIcon>

// The application object. Its start hook runs the main window modally; that modal run is the
// program's only event loop.
class CPanelApp : public QApplication {
    Q_OBJECT
public:
    // config: what the program's entry read of the trace and the ports, for the window.
    CPanelApp(int& argc, char** argv, CPanelConfig config = CPanelConfig());

    // Runs the main window and returns false: the program ends when the window does.
    bool InitInstance();

private:
    CPanelConfig m_config;
};

// Icon 128 of the program's resources.
QIcon AppIcon();
