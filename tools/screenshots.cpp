// vq-screenshots OUTDIR [PAGE_PICTURE]
//
// Renders, offscreen, the windows an operator meets into OUTDIR:
//   main-window.png       the status window in the middle of a job
//   template-chooser.png  the template chooser with its list open
// and, given one of the simulated printer's page pictures, a copy of it
// 600 pixels wide as page-picture.png.
//
// The windows are the station's own classes with the simulated printer
// linked in; the tool puts a few templates into the station's template
// folder, so run it through tests/sandbox-run (with VQ_SANDBOX_KEEP=OUTDIR
// when OUTDIR lies under /tmp).

#include "app/appconfig.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QSettings>

#include <cstdio>

namespace {

const int kPagePictureWidth = 600;

void fail(const QString& what)
{
    std::fprintf(stderr, "vq-screenshots: %s\n", qPrintable(what));
    std::exit(1);
}

void save(const QImage& image, const QString& path)
{
    if (!image.save(path, "PNG"))
        fail("cannot write " + path);
    std::printf("%s\n", qPrintable(path));
}

// The two sample templates and a variant for the other model; listed
// newest first, so their times decide the order shown.
void installTemplates()
{
    QDir().mkpath(APPConfig::syspath());
    struct Entry {
        const char* name;
        const char* sample;
        const char* model;
    };
    const Entry entries[] = {{"a4-two-head", "a4-two-head.ini", nullptr},
                             {"a4-one-head-trv-a20", "a4-one-head.ini", "TRV-A20"},
                             {"a4-one-head", "a4-one-head.ini", nullptr}};
    const QDateTime now = QDateTime::currentDateTime();
    int age = 0;
    for (const Entry& e : entries) {
        QFile sample(QString(VQ_SOURCE_DIR) + "/packaging/templates/" + e.sample);
        if (!sample.open(QIODevice::ReadOnly))
            fail("sample template missing: " + sample.fileName());
        QByteArray text = sample.readAll();
        if (e.model)
            text.replace("M=TRV-B20", QByteArray("M=") + e.model);
        QFile file(APPConfig::syspath() + "/" + e.name + ".ini");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
            fail("cannot write " + file.fileName());
        file.setFileTime(now.addSecs(--age), QFileDevice::FileModificationTime);
    }
    QSettings system(APPConfig::config(), QSettings::IniFormat);
    system.setValue("Template", "a4-one-head");
}

QImage chooserWithListOpen()
{
    ChooseIniForm chooser;
    chooser.show();
    QApplication::processEvents();
    QImage picture = chooser.grab().toImage();

    // The open list is a window of its own; draw it where it opens.
    auto* combo = chooser.findChild<QComboBox*>("comboBox");
    if (!combo)
        fail("the template chooser has no template list");
    combo->showPopup();
    QApplication::processEvents();
    QWidget* popup = combo->view()->window();
    const QPoint at = popup->geometry().topLeft() - chooser.mapToGlobal(QPoint(0, 0));
    const QImage list = popup->grab().toImage();
    combo->hidePopup();
    QImage canvas(picture.width(), qMax(picture.height(), at.y() + list.height()), QImage::Format_RGB32);
    canvas.fill(chooser.palette().window().color());
    QPainter painter(&canvas);
    painter.drawImage(0, 0, picture);
    painter.drawImage(at, list);
    return canvas;
}

// Page 2 of 3 being printed, as the workers would report it.
QImage mainWindowMidJob()
{
    MainWindow window;
    window.setFixedSize(410, 238);
    window.show();
    QApplication::processEvents();
    window.resultCnt(3);
    window.resultNum(2);
    window.setState("打印中");
    QApplication::processEvents();
    const QImage picture = window.grab().toImage();
    APPConfig::m_USBDevice.usb_Close();
    return picture;
}

QImage pagePicture(const QString& path)
{
    const QImage page(path);
    if (page.isNull())
        fail("cannot read the page picture " + path);
    QImage small = page.convertToFormat(QImage::Format_Grayscale8)
                       .scaledToWidth(kPagePictureWidth, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);
    // The printer's picture ends at the last dot; a frame shows its edges.
    QPainter painter(&small);
    painter.setPen(QColor(160, 160, 160));
    painter.drawRect(small.rect().adjusted(0, 0, -1, -1));
    return small;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: vq-screenshots OUTDIR [PAGE_PICTURE]\n");
        return 2;
    }
    if (qgetenv("VQ_IN_SANDBOX") != "1")
        fail("this tool writes the station's template folder; run it through tests/sandbox-run");
    const QString out = args.at(1);
    if (!QDir().mkpath(out))
        fail("cannot create " + out);

    APPConfig::init();
    installTemplates();
    save(mainWindowMidJob(), out + "/main-window.png");
    save(chooserWithListOpen(), out + "/template-chooser.png");
    if (args.size() == 3)
        save(pagePicture(args.at(2)), out + "/page-picture.png");
    return 0;
}
