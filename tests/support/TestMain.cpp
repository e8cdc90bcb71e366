#include "support/TestRunner.h"

#include <QByteArray>
#include <QtGlobal>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return trellium::test::runAllTests(argc, argv);
}
