// Brevik: the browser-trace cleaner.
#include "brevik/trace_cleaner.h"

int main() {
    brevik::TwBrevik cleaner;
    return cleaner.Run();
}
