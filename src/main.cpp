#include "link/qt_serial_port.h"
#include "system/toolkit.h"
#include "ui/main_form.h"
#include "ui/message_boxes.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvalin"));
    QApplication::setQuitOnLastWindowClosed(true);
    orvalin::install_message_boxes();

    // Declared before the window, so it outlives the poll cycle that uses it.
    orvalin::qt_serial_port port(orvalin::installed_port_folders());
    orvalin::main_form form(port);
    form.show_centred();
    return QApplication::exec();
}
