// A separate application using the installed library: a parser chained to a lambda, the umbrella
// header, a typed call and an error's reason by name.
#include <zvr3parser.h>
#include <zvr3lib/zvr3lib.h>

#include <QMetaEnum>

#include <cstdio>
#include <cstring>

int main()
{
    zvr3parser parser;
    int headers = 0;
    QObject::connect(&parser, &zvr3base::sigData, [&](const QVariant &value) {
        if (const auto header = zvr3take<HDR_T>(value); header && header->name == QLatin1String("ok"))
            ++headers;
    });
    parser.slotData(QByteArray::fromHex("b5b505b50b0000006f6b00"));  // a header named "ok"
    evtparser events;
    zvr3online live;
    live.close();  // nothing open: nothing happens
    const char *reason = QMetaEnum::fromType<zvr3error::Reason>().valueToKey(zvr3error::Timeout);
    std::printf("headers: %d, reason: %s\n", headers, reason);
    return headers == 1 && reason && std::strcmp(reason, "Timeout") == 0 ? 0 : 1;
}
