#include "vqtest.h"

#include "app/appconfig.h"

class AppConfigTest : public QObject {
    Q_OBJECT
private slots:
    void initUsesVendaquillWhenNeitherFolderExists();
};

void AppConfigTest::initUsesVendaquillWhenNeitherFolderExists()
{
    APPConfig::init();
    QCOMPARE(APPConfig::APP_str, QString("vendaquill"));
}

VQ_TEST_MAIN(AppConfigTest)
#include "tst_appconfig.moc"
