// A separate application using the installed library: a parser chained to a lambda.
#include <zvr3parser.h>
#include <zvr3lib/evtparser.h>

#include <cstdio>

int main()
{
    zvr3parser parser;
    int headers = 0;
    QObject::connect(&parser, &zvr3base::sigData, [&](const QVariant &value) {
        if (value.canConvert<HDR_T>() && value.value<HDR_T>().name == QLatin1String("ok"))
            ++headers;
    });
    parser.slotData(QByteArray::fromHex("b5b505b50b0000006f6b00"));  // a header named "ok"
    evtparser events;
    std::printf("headers: %d\n", headers);
    return headers == 1 ? 0 : 1;
}
