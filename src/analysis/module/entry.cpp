// avwatch_analysis: the analysers that run beside the avwatch module's
// monitors, as a module of their own.
#include "analysis/module/hls_binding.hpp"
#include "module/api.hpp"

namespace avwatch::analysis {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "avwatch_analysis", "Continuous analysers of channel inputs and outputs.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace avwatch::analysis

PyMODINIT_FUNC PyInit_avwatch_analysis(void) {
    using namespace avwatch;
    return at_boundary([] {
        Owned module = Owned::steal(PyModule_Create(&analysis::definition));
        analysis::add_hls(module);
        return module;
    });
}
