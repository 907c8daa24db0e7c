#include "vqtest.h"
#include "uitest.h"

#include "app/prefs.h"
#include "app/stationpause.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

using vqtest::ModalAnswers;

namespace {

QStringList comboItems(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    return items;
}

QList<MainWindow*> mainWindows()
{
    QList<MainWindow*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<MainWindow*>(widget))
            windows.append(window);
    return windows;
}

const QString kMinimalTemplate = "[Mode]\nM=TRV-B20\nDebug=1\nSend=1\n";

} // namespace

class ChooseIniFormTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void widgetTree_data();
    void widgetTree();
    void listsTemplatesNewestFirst_data();
    void listsTemplatesNewestFirst();
    void switchingWritesTheSystemIni();
    void accessCodeUnlocksTheTestButton_data();
    void accessCodeUnlocksTheTestButton();
    void eachTestClickOpensAMainWindow();
};

void ChooseIniFormTest::initTestCase()
{
    StationPause::setScale(0.01);
    vqsim::setTimeScale(0.001);
    APPConfig::init();
}

void ChooseIniFormTest::init() { vqtest::clearStationFiles(); }

void ChooseIniFormTest::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("songTi");

    QTest::newRow("templates") << "comboBox" << "QComboBox" << QRect(62, 55, 301, 41) << "" << true;
    QTest::newRow("switch") << "pushButton" << "QPushButton" << QRect(386, 56, 93, 41) << "切换模板" << false;
    QTest::newRow("active template") << "label" << "QLabel" << QRect(62, 109, 301, 51) << "当前模板：" << true;
    QTest::newRow("access code corner") << "pushButton_2" << "QPushButton" << QRect(0, 0, 93, 51) << "" << false;
    QTest::newRow("test") << "btn_Test" << "QPushButton" << QRect(387, 111, 93, 41) << "进入测试" << false;
}

void ChooseIniFormTest::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, songTi);

    ChooseIniForm form;
    QCOMPARE(form.objectName(), QString("ChooseIniForm"));
    QCOMPARE(form.windowTitle(), QString("模板"));
    QCOMPARE(form.size(), QSize(522, 215));

    QWidget* widget = form.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget(), static_cast<QWidget*>(&form));
    QCOMPARE(widget->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(widget))
        QCOMPARE(label->text(), text);
    if (auto* button = qobject_cast<QPushButton*>(widget))
        QCOMPARE(button->text(), text);
    if (songTi) {
        QCOMPARE(widget->font().family(), QString("宋体"));
        QCOMPARE(widget->font().pointSize(), 12);
    }
    if (name == "pushButton_2") {
        QVERIFY(!widget->isHidden());
        QVERIFY(widget->testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(widget->styleSheet(), QString("border-style: none;"));
    }
    if (name == "btn_Test")
        QVERIFY(widget->isHidden());
}

// Templates are written in the order given, each newer than the one before.
void ChooseIniFormTest::listsTemplatesNewestFirst_data()
{
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("active");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("label");

    const QStringList abc{"alpha", "beta", "gamma"};
    const QStringList newestFirst{"gamma", "beta", "alpha"};
    QTest::newRow("active one preselected") << abc << "beta" << newestFirst << "beta" << "当前模板：beta";
    QTest::newRow("active file gone") << abc << "delta" << newestFirst << "gamma" << "当前模板：";
    QTest::newRow("none active") << abc << "" << newestFirst << "gamma" << "当前模板：";
    QTest::newRow("a further dot: listed up to the first dot")
        << QStringList{"two.part", "alpha"} << "two.part" << QStringList{"alpha", "two"} << "" << "当前模板：two.part";
    QTest::newRow("empty template folder") << QStringList() << "alpha" << QStringList() << "" << "当前模板：";
}

void ChooseIniFormTest::listsTemplatesNewestFirst()
{
    QFETCH(QStringList, written);
    QFETCH(QString, active);
    QFETCH(QStringList, listed);
    QFETCH(QString, selected);
    QFETCH(QString, label);

    QDir().mkpath(APPConfig::syspath());
    for (const QString& name : written)
        vqtest::writeTemplate(name, kMinimalTemplate);
    if (!active.isEmpty())
        vqtest::setActiveTemplate(active);

    ChooseIniForm form;
    auto* combo = form.findChild<QComboBox*>("comboBox");
    QCOMPARE(comboItems(combo), listed);
    QCOMPARE(combo->currentText(), selected);
    QCOMPARE(form.findChild<QLabel*>("label")->text(), label);
}

void ChooseIniFormTest::switchingWritesTheSystemIni()
{
    for (const char* name : {"alpha", "beta", "gamma"})
        vqtest::writeTemplate(name, kMinimalTemplate);
    vqtest::setActiveTemplate("gamma");

    ChooseIniForm form;
    auto* combo = form.findChild<QComboBox*>("comboBox");
    combo->setCurrentIndex(combo->findText("alpha"));
    ModalAnswers answers({ModalAnswers::click(QMessageBox::Ok)});
    form.findChild<QPushButton*>("pushButton")->click();

    QCOMPARE(answers.seen(), QStringList{"提示|切换成功！"});
    QCOMPARE(Prefs::get(APPConfig::config(), "Template"), QString("alpha"));
    QCOMPARE(form.findChild<QLabel*>("label")->text(), QString("当前模板：alpha"));
    // The next window loads the template just chosen.
    Prefs::ReadConfig();
    QCOMPARE(APPConfig::Template(), APPConfig::syspath() + "/alpha.ini");
}

void ChooseIniFormTest::accessCodeUnlocksTheTestButton_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("unlocked");

    QTest::newRow("the code") << true << "730264" << true;
    QTest::newRow("with a leading zero") << true << "0730264" << true;
    QTest::newRow("followed by a letter") << true << "730264a" << false;
    QTest::newRow("another number") << true << "730265" << false;
    QTest::newRow("nothing typed") << true << "" << false;
    QTest::newRow("cancelled") << false << "730264" << false;
}

void ChooseIniFormTest::accessCodeUnlocksTheTestButton()
{
    QFETCH(bool, confirm);
    QFETCH(QString, typed);
    QFETCH(bool, unlocked);

    ChooseIniForm form;
    ModalAnswers answers({confirm ? ModalAnswers::type(typed) : ModalAnswers::cancel()});
    form.findChild<QPushButton*>("pushButton_2")->click();

    QCOMPARE(answers.seen(), QStringList{"测试模式|请输入"});
    QCOMPARE(answers.unexpected(), 0);
    QCOMPARE(!form.findChild<QPushButton*>("btn_Test")->isHidden(), unlocked);
}

void ChooseIniFormTest::eachTestClickOpensAMainWindow()
{
    vqtest::usePrinter("normal");
    vqtest::writeTemplate("test", kMinimalTemplate);
    APPConfig::bln_cmd = false;

    ChooseIniForm form;
    form.show();
    {
        ModalAnswers answers({ModalAnswers::type("730264")});
        form.findChild<QPushButton*>("pushButton_2")->click();
    }
    auto* test = form.findChild<QPushButton*>("btn_Test");
    QVERIFY(!test->isHidden());
    test->click();
    test->click();

    const QList<MainWindow*> windows = mainWindows();
    QCOMPARE(windows.size(), 2);
    for (MainWindow* window : windows) {
        QVERIFY(window->isVisible());
        QVERIFY(!window->findChild<QPushButton*>("btn_TestCut")->isHidden());
    }
    QVERIFY(form.isVisible());
    QVERIFY(!APPConfig::bln_cmd);
    qDeleteAll(windows);
    APPConfig::m_USBDevice.usb_Close();
}

VQ_TEST_MAIN(ChooseIniFormTest)
#include "tst_chooseiniform.moc"
