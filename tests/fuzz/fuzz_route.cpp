// The API's routing under arbitrary paths and methods. Byte 0 picks the
// method; the rest is the path, as UTF-8. A route names a module only by
// its one canonical number in the path, an output or input only within
// 1..8 (0 for all), and nothing outside /api and the page's three parts
// is ever anything but not found.
#include "web/web_api.h"

#include "fuzz_input.h"

#include <QString>

using namespace orvalin::web;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const char *const methods[] = { "GET", "POST", "PUT", "DELETE", "", "get" };
    const QByteArray method = methods[data[0] % std::size(methods)];
    const QString path
        = QString::fromUtf8(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const api_route found = route(method, path);
    using kind = api_route::kind;
    if (found.what == kind::not_found || found.what == kind::method_not_allowed)
        return 0;
    if (found.what == kind::page) {
        expect(path == u"/" || path == u"/app.js" || path == u"/app.css", "a page part elsewhere");
        expect(found.output >= 0 && found.output < 3, "no such page part");
        return 0;
    }
    expect(path.startsWith(u"/api/"), "a route outside /api");
    expect(!path.contains(u"..") && !path.contains(u"//"), "a route through .. or //");
    if (found.what == kind::modules || found.what == kind::events)
        return 0;
    const QString address = QString::number(found.address);
    expect(path.startsWith(QStringLiteral("/api/modules/%1").arg(address))
            && (path.size() == 13 + address.size() || path[13 + address.size()] == u'/'),
        "the address is not the path's own number");
    if (found.what != kind::module)
        expect(found.output >= (found.what == kind::set_output ? 0 : 1) && found.output <= 8,
            "a channel out of 1..8");
    return 0;
}
