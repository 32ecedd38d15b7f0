#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// orvalin-icons as the package build runs it: the desktop icons it writes.
class tst_app_icon : public QObject {
    Q_OBJECT

private slots:
    void writes_smooth_icons_for_each_size();
};

void tst_app_icon::writes_smooth_icons_for_each_size()
{
#ifndef ORVALIN_ICONS_PATH
    QSKIP("orvalin-icons is built for Linux only");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto run = [&](const QStringList &arguments) {
        QProcess icons;
        icons.start(QStringLiteral(ORVALIN_ICONS_PATH), arguments);
        if (!icons.waitForFinished(20000))
            return -1;
        return icons.exitCode();
    };
    QCOMPARE(run({ dir.path() }), 2); // no size
    QCOMPARE(run({ dir.path(), QStringLiteral("32") }), 0); // a single size is enough
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("orvalin.svg"))).size() > 0);
    const QImage image(dir.filePath(QStringLiteral("orvalin-32.png")));
    QCOMPARE(image.size(), QSize(32, 32));
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0); // a rounded corner
    QCOMPARE(qAlpha(image.pixel(16, 16)), 255);
    // Round edges are drawn smooth: some pixels only partly covered.
    int partly = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            partly += alpha > 0 && alpha < 255;
        }
    }
    QVERIFY(partly > 0);
#endif
}

QTEST_GUILESS_MAIN(tst_app_icon)
#include "tst_app_icon.moc"
