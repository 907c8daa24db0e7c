#include "intake/pscmdsendthread.h"

#include "app/appconfig.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const char kInstalledRasteriser[] = "C:/Vendaquill/gswin32c.exe";
const char kRasteriserName[] = "gswin32c.exe";

// The rasteriser's complaints are logged when it fails; a broken file can
// make it print a great deal, so only the start of it is kept.
const int kMaxLoggedOutput = 2000;

} // namespace

PSCmdSendThread::PSCmdSendThread(QString temp_path, QString job_id, QString temp_file)
    : QThread(nullptr)
    , m_temp_path(temp_path)
    , m_job_id(job_id)
    , m_temp_file(temp_file)
{
}

QString PSCmdSendThread::rasteriserProgram()
{
    if (QFile::exists(kInstalledRasteriser))
        return kInstalledRasteriser;
    const QString besideProcess = APPConfig::_rootDir() + "/" + kRasteriserName;
    if (QFile::exists(besideProcess))
        return besideProcess;
    const QString onPath = QStandardPaths::findExecutable("gs");
    return onPath.isEmpty() ? besideProcess : onPath;
}

// SAFER keeps a PostScript file from reading, writing or deleting anything
// but its own output pages.
QStringList PSCmdSendThread::rasteriserArguments() const
{
    const QString outputPattern = m_temp_path + "/" + m_job_id + "/%d.bmp";
    return {"-q", "-dQUIET", "-dSAFER", "-r600", "-dBATCH", "-sDEVICE=bmpmono", "-dNOPAUSE", "-dNOPROMPT",
            "-sOutputFile=" + outputPattern, m_temp_file};
}

void PSCmdSendThread::run()
{
    if (!QFile::exists(m_temp_file)) {
        qDebug() << QString("temp文件不存在 path::%1").arg(m_temp_file);
        emit runOK();
        return;
    }

    const QString program = rasteriserProgram();
    const QStringList arguments = rasteriserArguments();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);

    // Besides its output pages, the rasteriser lets a PostScript file write
    // anywhere in its temporary folder (by default all of /tmp, where the
    // station's own working files live). A private, empty one keeps the
    // file to the job folder.
    QTemporaryDir scratch(QDir::tempPath() + "/" + APPConfig::APP_str + "-gs-XXXXXX");
    const QString scratchPath = scratch.isValid() ? scratch.path() : m_temp_path + "/" + m_job_id;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", scratchPath);
    environment.insert("TEMP", scratchPath);
    environment.insert("TMP", scratchPath);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    qDebug() << "runCommand::" << program + " " + arguments.join(' ') + " ";

    if (!process.waitForStarted(-1)) {
        qDebug() << "转换程序无法启动：" << program << process.errorString();
        emit runOK();
        return;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAll()).trimmed().left(kMaxLoggedOutput);
        qDebug() << QString("转换程序出错，退出码：%1").arg(process.exitCode()) << m_temp_file << output;
    }
    qDebug() << "runCommandResult::OK";
    emit runOK();
}
