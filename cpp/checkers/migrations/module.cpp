// Module migrations: entry point; its contents are registered here as they are built.
#include <korvane/common.hpp>

PYBIND11_MODULE(migrations, m) {
    (void)m;
}
