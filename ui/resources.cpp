#include "ui/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function declared at global scope, so it must be
// expanded outside any namespace.
static void registerResources()
{
    Q_INIT_RESOURCE(res);
}

void initUpdaterResources()
{
    // Registering twice is harmless in Qt, but a one-time guard keeps the
    // windows' constructors from taking the resource mutex each time.
    static const bool registered = [] {
        registerResources();
        return true;
    }();
    Q_UNUSED(registered);
}
