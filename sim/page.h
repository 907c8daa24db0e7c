#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vqsim {

// One image unit as the controller received it. When the unit could not be
// decoded or checked, `malformed` names the reason and the descriptor
// fields hold whatever could be read (`descriptorRead` tells whether any).
struct UnitRecord {
    bool descriptorRead = false;
    quint8 SliceNo = 0;
    float PosXmm = 0.0f;
    float PosYmm = 0.0f;
    quint8 Head = 0;
    quint8 ColorDepth = 0;
    quint16 Type = 0;
    quint16 DPI_HOR = 0;
    quint16 Width = 0;
    quint16 Height = 0;
    QByteArray rows;        // the decoded rows after the descriptor
    QString sha256;         // of the whole decoded unit, descriptor included
    QString malformed;      // empty for a sound unit

    int stride() const { return ((Width + 31) / 32) * 4; }
};

// One page: a print task and the units that followed it, in arrival order.
struct PageRecord {
    int number = 0;         // counts print tasks received, from 1
    quint16 TotalPages = 0;
    quint16 PageNo = 0;
    quint8 SliceAmount = 0;
    quint8 TemplateSum = 0;
    QList<UnitRecord> units;

    int malformedCount() const
    {
        int n = 0;
        for (const UnitRecord& u : units)
            n += u.malformed.isEmpty() ? 0 : 1;
        return n;
    }
};

} // namespace vqsim
