// The template loader on arbitrary ini text, written byte for byte (any
// encoding) as the active template: whatever the text, it neither crashes nor
// hangs, and reads at most 1000 slices however many the text declares.

#include "fuzzsupport.h"

#include "app/prefs.h"

#include <QDateTime>
#include <QFile>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start();
    vqtest::setActiveTemplate("fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A parsed file is cached by its size and modification time: every input
    // gets a time of its own.
    static qint64 inputs = 0;
    QFile file(APPConfig::syspath() + "/fuzz.ini");
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size) || !file.flush()
        || !file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++inputs), QFileDevice::FileModificationTime))
        vqfuzz::fail("cannot write the template", file.fileName());
    file.close();
    Prefs::ReadConfig();
    if (APPConfig::m_Template_path != file.fileName())
        vqfuzz::fail("the template was not the one read", APPConfig::m_Template_path);
    if (APPConfig::m_SliceAreas.size() > 1000)
        vqfuzz::fail("more slices read than the cap", QString::number(APPConfig::m_SliceAreas.size()));
    return 0;
}
