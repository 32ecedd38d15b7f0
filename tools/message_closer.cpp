// A Qt generic plugin for make install-check: loaded into an unmodified
// panel (QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS=orvalinmessagecloser), it
// answers every modal message box as an operator would, with OK, and writes
// "message: TITLE: TEXT" for each to standard error, so a script can take
// the real program through its first start.

#include <QApplication>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace {

class message_closer : public QObject {
public:
    message_closer()
    {
        // Timers need the application's event loop; the plugin is created
        // while the application is still being set up.
        QTimer::singleShot(0, this, [this] {
            connect(&timer_, &QTimer::timeout, this, &message_closer::close_message);
            timer_.start(20);
        });
    }

private:
    void close_message()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        std::fprintf(
            stderr, "message: %s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
        std::fflush(stderr);
        box->done(QMessageBox::Ok);
    }

    QTimer timer_;
};

} // namespace

class message_closer_plugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "message_closer.json")

public:
    QObject *create(const QString &, const QString &) override { return new message_closer; }
};

#include "message_closer.moc"
