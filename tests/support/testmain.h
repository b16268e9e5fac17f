#pragma once

#include <cstdio>
#include <cstdlib>

#include <QTest>

// QTEST_MAIN and QTEST_GUILESS_MAIN, on Windows ending the program at once with the tests'
// result: a program linked with MinGW-w64's winpthreads may hang in its last static destructor
// once threads have come and gone (seen under Wine 8: pthread_key_delete waits for a lock that no
// thread holds any more). By then every test has run and reported. The updater itself always
// ends with _Exit.
#ifdef Q_OS_WIN
#define UPDATER_TEST_MAIN_WRAPPER(TestObject, ...)                                                 \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        const int result = [&] {                                                                   \
            __VA_ARGS__                                                                            \
            TestObject tc;                                                                         \
            QTEST_SET_MAIN_SOURCE_PATH                                                             \
            return QTest::qExec(&tc, argc, argv);                                                  \
        }();                                                                                       \
        std::fflush(nullptr);                                                                      \
        std::_Exit(result);                                                                        \
    }
#define UPDATER_TEST_MAIN(TestObject) UPDATER_TEST_MAIN_WRAPPER(TestObject, QTEST_MAIN_SETUP())
#define UPDATER_TEST_GUILESS_MAIN(TestObject)                                                      \
    UPDATER_TEST_MAIN_WRAPPER(TestObject, QTEST_QAPP_SETUP(QCoreApplication))
#else
#define UPDATER_TEST_MAIN(TestObject) QTEST_MAIN(TestObject)
#define UPDATER_TEST_GUILESS_MAIN(TestObject) QTEST_GUILESS_MAIN(TestObject)
#endif
