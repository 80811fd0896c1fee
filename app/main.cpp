#include "app/halvex_entry_point.h"

int main(int argc, char** argv) {
    return halvex::app::HalvexEntryPoint::main(argc, argv);
}
