#include "panel_app.h"

int main(int argc, char** argv)
{
    CPanelApp app(argc, argv);
    app.InitInstance();
    return 0;
}
