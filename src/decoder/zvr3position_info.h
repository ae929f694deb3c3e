#ifndef ZVR3POSITION_INFO_H
#define ZVR3POSITION_INFO_H

#include <QMetaType>
#include <QtGlobal>

/*!
    \class zvr3position_info
    \brief The last known GPS position of an NMEA stream: the \c value of its zvr3item.

    The decoder keeps one position per stream and updates it field by field from the GPRMC, GPGGA
    and PGRME sentences it reads; every item carries a copy of the position as it stood after the
    item's sentences. Nothing ages it: a field keeps its value until a sentence sets it again.
*/
struct zvr3position_info
{
    double latitude = 0;   //!< degrees, north positive
    double longitude = 0;  //!< degrees, east positive
    double altitude = 0;   //!< metres, from GPGGA
    double course = 0;     //!< degrees, as the receiver gives it
    double speed = 0;      //!< metres per second
    qint64 time = 0;       //!< milliseconds since 1970-01-01 00:00 UTC: the receiver's time, not the recorder's clock
    bool valid = false;    //!< the receiver reports a valid fix
    int satellites = 0;    //!< satellites in use, from GPGGA
    double hdop = 0;       //!< horizontal dilution of precision, a whole number
};
Q_DECLARE_METATYPE(zvr3position_info)

#endif // ZVR3POSITION_INFO_H
