#pragma once

#include <QMainWindow>
#include <QString>

class QCloseEvent;
class QShowEvent;
class QTimer;

namespace Ui {
class MainWindow;
}

// The small status window of a print job. It loads the active template,
// opens the printer and, 2 seconds after it is first shown, starts the print
// dispatch thread, the image preparation thread and the folder watcher on the
// job folder. It shows the page being printed, the pages found, the progress
// and the printer's state; closing it ends the print after a confirmation.
// In debug mode two test buttons print a single bitmap or a PostScript file.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Starts the dispatch and preparation threads unless they already run.
    void Thread_Init();
    // Starts a new folder watcher on the job folder.
    void File_wacher_Init();
    // Prepares the job folder and rasterises the PostScript file into it.
    void ConverPstoImage(QString path);

public slots:
    void DoWork();
    void File_wacher_Close();
    void resultNum(int value);
    void resultCnt(int value);
    void setState(QString str);
    void on_btn_TestCut_clicked();
    void on_btn_TestTemp_clicked();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QString _jobFolder() const;
    // Shows the file dialog of a test action and the chosen path; empty when
    // the operator cancelled.
    QString _askTestFile(const QString& caption, const QString& filter);
    // Template reloaded for a test page, which is then the only page.
    void _prepareTestPage();
    void _endWithoutPages();

    Ui::MainWindow* ui;
    QString str_filepath;
    QString job_id;
    QTimer* timer = nullptr;
};
