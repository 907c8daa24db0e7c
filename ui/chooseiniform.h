#pragma once

#include <QWidget>

namespace Ui {
class ChooseIniForm;
}

// Shown when the station starts without a job folder: lists the print
// templates, newest first, names the active one and makes another one active.
// The empty corner at the top left asks for an access code that unlocks a
// button opening a test window.
class ChooseIniForm : public QWidget {
    Q_OBJECT
public:
    explicit ChooseIniForm(QWidget* parent = nullptr);
    ~ChooseIniForm() override;

    static constexpr int kTestAccessCode = 730264;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_btn_Test_clicked();

private:
    Ui::ChooseIniForm* ui;
};
