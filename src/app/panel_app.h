#pragma once

#include <QApplication>
#include <QIcon>

// The application object. Its start hook runs the main window modally; that modal run is the
// program's only event loop.
class CPanelApp : public QApplication {
    Q_OBJECT
public:
    CPanelApp(int& argc, char** argv);

    // Runs the main window and returns false: the program ends when the window does.
    bool InitInstance();
};

// Icon 128 of the program's resources.
QIcon AppIcon();
