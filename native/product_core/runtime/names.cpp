#include "names.hpp"

namespace vp {

Names N = {};

bool init_names() {
    if (N.float_3 != nullptr) return true;  // float_3 is made last
#define VP_MAKE_NAME(id, text) \
    if (!(N.id = PyUnicode_InternFromString(text))) return false;
    VP_NAMES(VP_MAKE_NAME)
#undef VP_MAKE_NAME
    if (!(N.int_0 = PyLong_FromLong(0))) return false;
    if (!(N.int_500 = PyLong_FromLong(500))) return false;
    if (!(N.int_2 = PyLong_FromLong(2))) return false;
    if (!(N.int_million = PyLong_FromLong(1000000))) return false;
    if (!(N.float_0_8 = PyFloat_FromDouble(0.8))) return false;
    if (!(N.float_15 = PyFloat_FromDouble(15.0))) return false;
    if (!(N.float_round =
              PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyFloat_Type), "__round__")))
        return false;
    if (!(N.float_3 = PyFloat_FromDouble(3.0))) return false;
    return true;
}

}  // namespace vp
