#include "ctl/halvex_ctl.h"

int main(int argc, char** argv) {
    return halvex::ctl::HalvexCtl::main(argc, argv);
}
