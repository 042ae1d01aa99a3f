// The avwatch_analysis module: the transport-stream analysers of the inputs
// and the HLS output analyser, beside the avwatch module and independent of it.
#include "analysis/module/hls_binding.hpp"
#include "analysis/module/types.hpp"
#include "analysis/ts/counters.hpp"
#include "module/api.hpp"

namespace avwatch::analysis {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "avwatch_analysis", "Continuous analysis of transport-stream inputs and HLS outputs.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
    return at_boundary([] {
        Owned module = Owned::steal(PyModule_Create(&definition));
        check(PyModule_AddObjectRef(module.get(), "Analyser", analyser_type().get()));
        check(PyModule_AddObjectRef(module.get(), "Watch", watch_type().get()));
        Owned names = Owned::steal(PyTuple_New(ts::counter_count));
        for (std::size_t i = 0; i < ts::counter_count; ++i)
            PyTuple_SET_ITEM(names.get(), i, text(ts::counter_names[i]).release());
        check(PyModule_AddObjectRef(module.get(), "COUNTERS", names.get()));
        add_hls(module);
        return module;
    });
}

}  // namespace
}  // namespace avwatch::analysis

PyMODINIT_FUNC PyInit_avwatch_analysis(void) { return avwatch::analysis::initialise(); }
