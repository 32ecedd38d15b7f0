#include "service/serve.h"

#include <cstdio>

namespace orvalin::service {

int serve_main(const QStringList &arguments)
{
    Q_UNUSED(arguments);
    std::fprintf(stderr, "orvalinctl serve: not available yet\n");
    return 2;
}

} // namespace orvalin::service
