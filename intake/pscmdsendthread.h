#pragma once

#include <QString>
#include <QThread>

// Rasterises one PostScript file into the job folder with Ghostscript: one
// 600-dpi 1-bit BMP per page, named by page number from 1 ("1.bmp", "2.bmp",
// ...). The folder watcher picks the pages up from there while the
// conversion is still running.
class PSCmdSendThread : public QThread {
    Q_OBJECT
public:
    PSCmdSendThread(QString temp_path, QString job_id, QString temp_file);

    // The program that will be run: the Ghostscript of the station's own
    // install folder, the one beside the process, else "gs" from PATH.
    static QString rasteriserProgram();
    // Everything after the program name, in the order Ghostscript gets it.
    QStringList rasteriserArguments() const;

    QString m_temp_path;
    QString m_job_id;
    QString m_temp_file;

signals:
    // The run has ended, whether or not pages were made.
    void runOK();

protected:
    void run() override;
};
