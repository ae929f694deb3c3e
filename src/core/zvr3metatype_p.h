// Internal header of zvr3lib, not installed.
#ifndef ZVR3METATYPE_P_H
#define ZVR3METATYPE_P_H

#include <QMetaType>
#include <QVariant>

// The meta-type id of a record type. The first call registers the type with Qt under the name its
// Q_DECLARE_METATYPE gave it, so that QMetaType::fromName() finds it from then on; the id is kept
// in a function-local static.
template <typename T>
inline int zvr3typeId()
{
    static const int id = qRegisterMetaType<T>();
    return id;
}

// Whether a value that travels between nodes holds a T. Receivers test in a fixed order and take
// the first match, so the test is an exact type comparison, never a conversion.
template <typename T>
inline bool zvr3holds(const QVariant &value)
{
    return value.userType() == zvr3typeId<T>();
}

// A value of a record type, ready to travel. Making it registers the type under its name.
template <typename T>
inline QVariant zvr3value(const T &record)
{
    zvr3typeId<T>();
    return QVariant::fromValue(record);
}

#endif // ZVR3METATYPE_P_H
