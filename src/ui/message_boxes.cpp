#include "ui/message_boxes.h"

#include "system/toolkit.h"

#include <QApplication>
#include <QMessageBox>

namespace orvalin {

void install_message_boxes()
{
    toolkit::set_message_sink([](const toolkit::message &m) {
        QMessageBox box(
            m.style == toolkit::style_critical ? QMessageBox::Critical : QMessageBox::NoIcon,
            m.title.isEmpty() ? QApplication::applicationName() : m.title, m.prompt,
            QMessageBox::Ok, QApplication::activeWindow());
        box.exec();
    });
}

} // namespace orvalin
