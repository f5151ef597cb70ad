// Another process for the platform cases: creates its named events first (other_process.h).
#include "other_process.h"

int main() {
    return static_cast<int>(OtherProcessMain());
}
