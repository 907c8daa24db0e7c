#pragma once

#include <QFileInfoList>
#include <QString>
#include <QThread>

#include <atomic>

// Discovers the pages of a job by listing the job folder every 2 seconds.
// Files not seen at the previous poll go onto the image work queue, oldest
// first, and the running number of pages found is reported and published as
// APPConfig::PrintTotal. The watcher gives up after its eleventh poll that
// found nothing new, counted over its whole life.
class FolderMonitoring : public QThread {
    Q_OBJECT
public:
    explicit FolderMonitoring(QString path);

    // Pages found so far (read once the thread has ended).
    int pagesFound() const { return i_cnt; }

signals:
    void handleCnt(int value);
    void handleNum(int value);

public slots:
    // One poll of the watched folder; false once the watcher should stop.
    // A call for any other path does nothing and returns false.
    bool onFolderModified(const QString& path);

protected:
    void run() override;

private:
    QString folder_;
    QFileInfoList fileInfoList_;
    std::atomic<int> i_cnt{0};
    int i_no_cnt = 0;
};
