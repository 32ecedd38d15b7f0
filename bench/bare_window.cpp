// orvalin-bare: the baseline for start-up times, a bare Qt window of the
// panel's size that shows one Chinese label in the default font. Whatever
// the panel takes beyond this is the panel's own start-up work.

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("orvalin-bare"));
    window.setFixedSize(448, 531);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("串口号"), &window));
    window.show();
    return QApplication::exec();
}
