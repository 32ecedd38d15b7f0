#pragma once

#include <QStringList>

namespace orvalin::service {

// `orvalinctl serve [options]`: runs the MQTT bridge until SIGTERM or SIGINT.
// arguments are those after "serve". Returns the process exit code.
int serve_main(const QStringList &arguments);

} // namespace orvalin::service
