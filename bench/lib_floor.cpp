// What a Qt Core program that speaks to the sound server pays before main():
// libpulse is linked and referenced, never called. libcurl is left out:
// pcreport loads it only with the first transfer.
#include <QCoreApplication>

#include <pulse/mainloop.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 99)
        pa_mainloop_new();
    return 0;
}
