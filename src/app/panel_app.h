#pragma once

#include <QApplication>
#include <QIcon>

// The application object. Its start hook runs the main window modally; that modal run is the
// program's only event loop.
class CPanelApp : public QApplication {
    Q_OBJECT
public:
    // strTrace: where the traffic trace goes, as the program's entry read it (empty: none).
    CPanelApp(int& argc, char** argv, QString strTrace = QString());

    // Runs the main window and returns false: the program ends when the window does.
    bool InitInstance();

private:
    QString m_strTrace;
};

// Icon 128 of the program's resources.
QIcon AppIcon();
