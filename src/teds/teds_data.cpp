// TEDSData: the parsed TEDS data sheet.
#include "subsystems.hpp"

namespace vexlo
{

bool add_teds_data_type(PyObject*)
{
    return true;
}

}  // namespace vexlo
