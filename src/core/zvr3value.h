#ifndef ZVR3VALUE_H
#define ZVR3VALUE_H

#include <QMetaType>
#include <QVariant>

#include <optional>

/*!
    \file zvr3value.h
    \brief Making, testing and taking the values that travel between nodes.

    Everything a node emits is a QVariant. A receiver tells what it got by the variant's exact type:
    a whole frame (zvr3parser_combined_DATA_T) has the fields of a DATA_T but is not one, and a
    QString marker is not a QByteArray. QVariant::canConvert() answers a different question (could
    the value be converted?) and says yes to both of those, so receivers test with zvr3holds() and
    take with zvr3take():

    \code
    QObject::connect(&archive, &zvr3base::sigData, [&](const QVariant &value) {
        if (const auto frame = zvr3take<zvr3parser_combined_DATA_T>(value))
            show(frame->stream, frame->data);
        else if (const auto error = zvr3take<zvr3error>(value))
            qWarning() << error->reason << error->text;
    });
    \endcode

    The first use of a record type with any of these functions registers it with Qt under its own
    name ("HDR_T", "zvr3error", ...), as the library does when it makes or tests one.
*/

/*! The meta-type id of \c T. The first call registers \c T under the name its
    Q_DECLARE_METATYPE() gave it, so that QMetaType::fromName() finds it from then on. */
template <typename T>
inline int zvr3typeId()
{
    static const int id = qRegisterMetaType<T>();
    return id;
}

/*! Whether \a value holds a \c T: an exact comparison of types, never a conversion. */
template <typename T>
inline bool zvr3holds(const QVariant &value)
{
    return value.userType() == zvr3typeId<T>();
}

/*! The \c T that \a value holds, or nothing when it holds anything else (zvr3holds()). */
template <typename T>
inline std::optional<T> zvr3take(const QVariant &value)
{
    if (!zvr3holds<T>(value))
        return std::nullopt;
    return value.value<T>();
}

/*! \a record as a value ready to travel (registering its type, as zvr3typeId() does). */
template <typename T>
inline QVariant zvr3value(const T &record)
{
    zvr3typeId<T>();
    return QVariant::fromValue(record);
}

#endif // ZVR3VALUE_H
