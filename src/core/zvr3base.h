#ifndef ZVR3BASE_H
#define ZVR3BASE_H

#include <QObject>
#include <QVariant>

#include "zvr3lib_export.h"
#include "zvr3value.h"

/*!
    \class zvr3base
    \brief The base of every pipeline node of the library.

    A node takes values in through slotData() and hands its results on through sigData(). An
    application builds a chain by connecting one node's sigData() to the next node's slotData():

    \code
    zvr3parser parser;
    zvr3saver saver;
    QObject::connect(&parser, &zvr3base::sigData, &saver, &zvr3base::slotData);
    \endcode

    Everything that travels is a QVariant: raw stream bytes as a QByteArray, everything else as one
    of the library's registered record types (zvr3command, zvr3error, zvr3item, HDR_T, DATA_T, ...).
    Receivers tell them apart by their exact type with zvr3holds() and zvr3take() (zvr3value.h,
    included here). A node ignores, without a report, every value it does not know. Failures leave on sigData() as a
    zvr3error, in order with the data.

    A node is made without a parent and belongs to the thread that made it; the library calls its
    receivers synchronously, so everything a node emits for an input has been delivered before its
    slotData() returns.
*/
class ZVR3LIB_EXPORT zvr3base : public QObject
{
    Q_OBJECT
public:
    zvr3base();
    ~zvr3base() override;

Q_SIGNALS:
    /*! Emitted for each value the node hands on, synchronously. */
    void sigData(const QVariant &data);

public Q_SLOTS:
    /*! The node's input. Each node documents which values it accepts. */
    virtual void slotData(const QVariant &data) = 0;

private:
    Q_DISABLE_COPY(zvr3base)
};

#endif // ZVR3BASE_H
