#include "support/testenv.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    PrepareTestEnvironment(home);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    return RUN_ALL_TESTS();
}
