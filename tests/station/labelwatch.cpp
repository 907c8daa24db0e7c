// A Qt generic plugin that the whole-station tests load into the unmodified
// station (QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS=vqlabelwatch). It reads
// what the operator sees and writes every change of the main window's page,
// count and state labels to standard error:
//
//   vqwatch lbl_State 打印机状态：打印中
//
// It only reads widgets and changes nothing in the station.

#include <QApplication>
#include <QGenericPlugin>
#include <QHash>
#include <QLabel>
#include <QTimer>

#include <cstdio>

namespace {

class LabelWatch : public QObject {
public:
    LabelWatch()
    {
        // A label keeps a state text for at least a second, so a look every
        // 20 ms sees each one the operator could read.
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &LabelWatch::look);
        m_timer.start();
    }

private:
    void look()
    {
        static const QStringList watched{"lbl_Num", "lbl_Cnt", "lbl_State"};
        for (QWidget* widget : QApplication::allWidgets()) {
            auto* label = qobject_cast<QLabel*>(widget);
            if (!label || !watched.contains(label->objectName()))
                continue;
            const QString text = label->text();
            auto seen = m_texts.find(label);
            if (seen != m_texts.end() && *seen == text)
                continue;
            m_texts.insert(label, text);
            std::fprintf(stderr, "vqwatch %s %s\n", qPrintable(label->objectName()), text.toUtf8().constData());
        }
    }

    QTimer m_timer;
    QHash<const QLabel*, QString> m_texts;
};

} // namespace

class LabelWatchPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "labelwatch.json")
public:
    QObject* create(const QString& key, const QString&) override
    {
        return key.compare("vqlabelwatch", Qt::CaseInsensitive) == 0 ? new LabelWatch : nullptr;
    }
};

#include "labelwatch.moc"
