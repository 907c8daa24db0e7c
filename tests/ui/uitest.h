#pragma once

// Support for the window tests: the active template with chosen debug and
// send switches, the simulated printer present or absent, stopping the
// workers a window started, and answers to modal dialogs.

#include "vqtest.h"

#include "app/appconfig.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"
#include "jobs/sendimgqueuethread.h"
#include "sim/vqsim.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace vqtest {

// Makes the one-head A4 sample the active template, with its debug switch and
// its switch that turns sending off set as asked.
inline void useTemplate(bool debug, bool sendingOff)
{
    QFile sample(QString(VQ_SOURCE_DIR) + "/packaging/templates/a4-one-head.ini");
    if (!sample.open(QIODevice::ReadOnly))
        qFatal("sample template missing");
    QString text = QString::fromUtf8(sample.readAll());
    text.replace("Debug=0", debug ? "Debug=1" : "Debug=0");
    text.replace("Send=0", sendingOff ? "Send=1" : "Send=0");
    writeTemplate("station", text);
    setActiveTemplate("station");
}

// Closes the link a window opened and lets the simulated printer start anew
// in the given scenario ("normal", "absent", ...).
inline void usePrinter(const char* scenario)
{
    APPConfig::m_USBDevice.usb_Close();
    qputenv("VQSIM_SCENARIO", scenario);
    vqsim::reset();
}

// Ends the workers a window started and waits for them, so that the next
// test starts without any.
inline void stopWorkers()
{
    if (SendImgQueueThread* sender = APPConfig::m_SendImgQueueThread) {
        sender->stop();
        sender->wait();
    }
    if (HandleImgQueueThread* preparer = APPConfig::m_HandleImgQueueThread) {
        preparer->stop();
        preparer->wait();
    }
    if (PSCmdSendThread* runner = APPConfig::m_PSCmdSendThread)
        runner->wait();
    if (FolderMonitoring* watcher = APPConfig::m_FolderMonitoring)
        watcher->wait();
    QMutexLocker lock(APPConfig::mutexM);
    APPConfig::_imgWorkQueue.clear();
    APPConfig::_imgIdsQueue.clear();
}

// Answers the modal dialogs that the code under test opens, one answer per
// dialog in the order given. A dialog for which no answer is left is
// rejected and counted as unexpected, and every dialog still open when the
// answerer goes is rejected too, so that no test can hang on one.
class ModalAnswers : public QObject {
public:
    using Answer = std::function<void(QDialog*)>;

    explicit ModalAnswers(QList<Answer> answers)
        : m_answers(std::move(answers))
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
    }

    ~ModalAnswers() override
    {
        m_timer.stop();
        for (int left = 10; left > 0; --left) {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                break;
            dialog->reject();
        }
    }

    // "title|text" of every dialog seen: a message box's text, an input
    // dialog's label, a file dialog's name filters.
    QStringList seen() const { return m_seen; }
    int unexpected() const { return m_unexpected; }

    static Answer click(QMessageBox::StandardButton button)
    {
        return [button](QDialog* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            if (box && box->button(button))
                box->button(button)->click();
            else
                dialog->reject();
        };
    }

    static Answer chooseFile(const QString& path)
    {
        return [path](QDialog* dialog) {
            auto* files = qobject_cast<QFileDialog*>(dialog);
            if (!files) {
                dialog->reject();
                return;
            }
            // With the name field focused, selectFile() leaves it alone;
            // typing the path is what an operator would do anyway.
            files->selectFile(path);
            if (auto* name = files->findChild<QLineEdit*>("fileNameEdit"))
                name->setText(path);
            static_cast<QDialog*>(files)->accept();
        };
    }

    static Answer type(const QString& text)
    {
        return [text](QDialog* dialog) {
            auto* input = qobject_cast<QInputDialog*>(dialog);
            if (!input) {
                dialog->reject();
                return;
            }
            input->setTextValue(text);
            input->accept();
        };
    }

    static Answer cancel()
    {
        return [](QDialog* dialog) { dialog->reject(); };
    }

private:
    // The answer runs from its own event, so that this timer keeps firing
    // when the answer opens a nested dialog (a warning of the file dialog).
    // A dialog the answer did not close within about 2 s is rejected.
    void tick()
    {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        if (dialog == m_pending) {
            if (++m_pendingTicks > 100)
                dialog->reject();
            return;
        }
        m_pending = dialog;
        m_pendingTicks = 0;
        m_seen.append(describe(dialog));
        if (m_answers.isEmpty()) {
            ++m_unexpected;
            dialog->reject();
            return;
        }
        Answer answer = m_answers.takeFirst();
        QPointer<QDialog> guard(dialog);
        QTimer::singleShot(0, this, [guard, answer] {
            if (guard && guard->isVisible())
                answer(guard);
        });
    }

    static QString describe(QDialog* dialog)
    {
        QString detail;
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            detail = box->text();
        else if (auto* input = qobject_cast<QInputDialog*>(dialog))
            detail = input->labelText();
        else if (auto* files = qobject_cast<QFileDialog*>(dialog))
            detail = files->nameFilters().join(";;");
        return dialog->windowTitle() + "|" + detail;
    }

    QList<Answer> m_answers;
    QStringList m_seen;
    int m_unexpected = 0;
    QPointer<QDialog> m_pending;
    int m_pendingTicks = 0;
    QTimer m_timer;
};

} // namespace vqtest
