#include "ui/chooseiniform.h"
#include "ui_chooseiniform.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QMessageBox>

namespace {
const char kCurrentTemplate[] = "当前模板：";
}

ChooseIniForm::ChooseIniForm(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::ChooseIniForm)
{
    ui->setupUi(this);
    ui->btn_Test->hide();
    // The code button takes clicks but shows nothing.
    ui->pushButton_2->setAttribute(Qt::WA_TranslucentBackground);
    ui->pushButton_2->setStyleSheet("border-style: none;");

    const QFileInfoList templates =
        QDir(APPConfig::syspath()).entryInfoList({"*.ini"}, QDir::Files, QDir::Time);
    QStringList names;
    for (const QFileInfo& info : templates)
        names.append(info.baseName());
    ui->comboBox->addItems(names);

    const QString active = Prefs::get(APPConfig::config(), "Template");
    if (!active.isEmpty() && QFile::exists(APPConfig::syspath() + "/" + active + ".ini")) {
        // A name the list does not hold (one with a further dot) leaves
        // nothing selected.
        ui->comboBox->setCurrentIndex(ui->comboBox->findText(active));
        ui->label->setText(kCurrentTemplate + active);
    }
}

ChooseIniForm::~ChooseIniForm() { delete ui; }

void ChooseIniForm::on_pushButton_clicked()
{
    const QString chosen = ui->comboBox->currentText();
    Prefs::put("Template", chosen);
    ui->label->setText(kCurrentTemplate + chosen);
    QMessageBox::information(this, "提示", "切换成功！", QMessageBox::Ok);
}

void ChooseIniForm::on_pushButton_2_clicked()
{
    bool confirmed = false;
    const QString text =
        QInputDialog::getText(this, "测试模式", "请输入", QLineEdit::Normal, QString(), &confirmed);
    if (!confirmed || text.isEmpty())
        return;
    // Compared as a number, so a leading zero still unlocks.
    if (text.toInt(nullptr, 10) == kTestAccessCode)
        ui->btn_Test->show();
}

void ChooseIniForm::on_btn_Test_clicked()
{
    auto* window = new MainWindow(nullptr);
    window->showNormal();
}
