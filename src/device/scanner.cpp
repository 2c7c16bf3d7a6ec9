// VexloSerialScanner: discovery of instruments on the host's serial ports.
// Every port is probed at each baud rate of the plan in turn; the first rate
// at which the instrument names its model wins. A failing probe is logged and
// closed, never raised.
#include "common/ref.hpp"

#include <cstddef>
#include <vector>

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/state.hpp"
#include "common/models.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

PyObject* scanner_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref commands(PyObject_CallNoArgs(state_of(fn->module)->CommandOperationsClass));
    if (!commands || PyObject_SetAttr(args[0], VEXLO_NAME("commands"), commands.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// A filter argument as discovery reads it: None is an empty list.
PyObject* filter_or_empty(PyObject* given)
{
    return (given && given != Py_None) ? cppy::incref(given) : PyList_New(0);
}

// How a filter shows in the start message: as given, or "all" when empty.
PyObject* shown(PyObject* filter)
{
    int truth = PyObject_IsTrue(filter);
    if (truth < 0)
        return nullptr;
    return truth ? cppy::incref(filter) : PyUnicode_FromString("all");
}

// A single string where a list is expected would be taken apart character by
// character, and for ports "in" would match substrings ("COM1" in "COM10"),
// probing ports the caller never named: refused instead.
bool refuse_text(PyObject* value, const char* name)
{
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value))
    {
        PyErr_Format(PyExc_TypeError, "%s must be a list of names, not %s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    return true;
}

// Logs; a failing log call (an exception text that cannot be formed, a
// broken handler) is dropped, so that a failing probe never escapes.
bool log_quietly(PyObject* module, Level level, Message& message)
{
    return log(module, level, message) || static_cast<bool>(catch_exception());
}

// Closes a probe's interface, if it was created, ignoring any Exception.
bool close_quietly(const Ref& interface)
{
    if (!interface)
        return true;
    Ref result(call_method(interface.get(), VEXLO_NAME("disconnect")));
    return static_cast<bool>(result) || static_cast<bool>(catch_exception());
}

// serial.tools.list_ports.comports(), looked up now so that patches take
// effect, then the device names of the listed ports. Any listing that can be
// iterated is accepted; a listing whose entries have no device name fails
// here, as a failed enumeration, rather than halfway through the scan.
PyObject* list_port_devices(PyObject* module)
{
    Ref serial(module_global(module, "serial"));
    if (!serial)
        return nullptr;
    Ref tools(get_attr(serial.get(), VEXLO_NAME("tools")));
    if (!tools)
        return nullptr;
    Ref list_ports(get_attr(tools.get(), VEXLO_NAME("list_ports")));
    if (!list_ports)
        return nullptr;
    Ref listed(call_method(list_ports.get(), VEXLO_NAME("comports")));
    if (!listed)
        return nullptr;
    Ref ports(PySequence_List(listed.get()));
    if (!ports)
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(ports.get());
    if (!log(module, Level::Debug,
             Message() << "Found " << static_cast<long long>(count) << " COM ports to scan"))
        return nullptr;
    Ref devices(PyList_New(count));
    if (!devices)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
    {
        PyObject* device = get_attr(PyList_GET_ITEM(ports.get(), i), VEXLO_NAME("device"));
        if (!device)
            return nullptr;
        PyList_SET_ITEM(devices.get(), i, device);
    }
    return devices.release();
}

// Index of a known model name in the table, or -1.
long model_index(PyObject* name)
{
    if (!PyUnicode_Check(name))
        return -1;
    const std::vector<models::Model>& table = models::table();
    for (std::size_t i = 0; i < table.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(name, table[i].name) == 0)
            return static_cast<long>(i);
    return -1;
}

// The baud rates to try on every port. Without models, those of the whole
// table; otherwise those of the requested models, unknown names warned about
// and skipped. False with an exception set on error.
bool plan_bauds(PyObject* module, PyObject* device_models, std::vector<long>& bauds)
{
    if (!refuse_text(device_models, "device_models"))
        return false;
    Ref iterator(PyObject_GetIter(device_models));
    if (!iterator)
        return false;
    std::vector<Ref> names;
    while (PyObject* raw = PyIter_Next(iterator.get()))
    {
        Ref item(raw);
        Ref upper(call_method(item.get(), VEXLO_NAME("upper")));
        if (!upper)
            return false;
        names.push_back(upper);
    }
    if (PyErr_Occurred())
        return false;
    if (names.empty())
    {
        bauds = models::bauds_for_models(models::all_models());
        return true;
    }
    std::vector<std::size_t> chosen;
    for (const Ref& name : names)
    {
        long index = model_index(name.get());
        if (index >= 0)
            chosen.push_back(static_cast<std::size_t>(index));
        else if (!log(module, Level::Warning, Message() << "Unknown device model: " << name << ", skipping"))
            return false;
    }
    bauds = models::bauds_for_models(chosen);
    return true;
}

enum class Probe
{
    Failed,      // exception pending
    NoResponse,  // the port was closed again
    Found,
};

// One probe: open an interface on the port at the baud rate and ask for the
// model. `interface` is set as soon as it exists, so the caller can close it
// whatever fails afterwards.
Probe probe(PyObject* module, PyObject* port, PyObject* baud, PyObject* token_kwnames,
            Ref& interface, Ref& device)
{
    ModuleState* st = state_of(module);
    interface = PyObject_CallFunctionObjArgs(st->SerialInterfaceClass, port, baud, nullptr);
    if (!interface)
        return Probe::Failed;
    Ref connected(call_method(interface.get(), VEXLO_NAME("connect")));
    if (!connected)
        return Probe::Failed;
    Ref model(call_method(interface.get(), VEXLO_NAME("get_model_number")));
    if (!model)
        return Probe::Failed;
    int answered = PyObject_IsTrue(model.get());
    if (answered < 0)
        return Probe::Failed;
    if (!answered)
    {
        if (!log(module, Level::Debug, Message() << port << " at " << baud << " baud: no response"))
            return Probe::Failed;
        Ref closed(call_method(interface.get(), VEXLO_NAME("disconnect")));
        return closed ? Probe::NoResponse : Probe::Failed;
    }
    if (!log(module, Level::Info,
             Message() << "Found " << model << " on " << port << " at " << baud << " baud )"))
        return Probe::Failed;
    PyObject* call_args[] = {interface.get(), st->device_token};
    device = PyObject_Vectorcall(st->DeviceClass, call_args, 1, token_kwnames);
    return device ? Probe::Found : Probe::Failed;
}

// Logs a failed probe and closes its interface. Returns false when the
// failure must end discovery (an interrupt and the like), left pending.
bool handle_failed_probe(PyObject* module, PyObject* port, PyObject* baud, const Ref& interface)
{
    ModuleState* st = state_of(module);
    Ref error(fetch_exception());
    if (exception_matches(error, PyExc_Exception))
    {
        bool logged;
        if (exception_matches(error, st->VexloCommunicationError) ||
            exception_matches(error, st->VexloConnectionError))
            logged = log_quietly(module, Level::Debug,
                                 Message() << port << " at " << baud << " baud: communication error - " << error);
        else
            logged = log_quietly(module, Level::Warning,
                                 Message() << "Unexpected error scanning " << port << " at " << baud
                                           << " baud: " << error);
        if (logged)
            return close_quietly(interface);
        error = fetch_exception();  // interrupted while logging
    }
    // Discovery ends here: the port is still released first.
    if (!close_quietly(interface))
        PyErr_Clear();
    restore_exception(error);
    return false;
}

// Tries the baud rates on one port in turn until an instrument answers, and
// appends its device to `found`; a port not in `only` (when given) is
// skipped. False when discovery must end.
bool scan_port(PyObject* module, PyObject* port, PyObject* only, const std::vector<long>& bauds,
               PyObject* token_kwnames, PyObject* found)
{
    if (only)
    {
        int requested = PySequence_Contains(only, port);
        if (requested <= 0)
            return requested == 0 &&
                   log(module, Level::Debug, Message() << "Skipping " << port << " (not in requested list)");
    }
    if (!log(module, Level::Debug, Message() << "Scanning " << port))
        return false;
    for (long rate : bauds)
    {
        Ref baud(PyLong_FromLong(rate));
        if (!baud)
            return false;
        Ref interface;
        Ref device;
        Probe outcome = probe(module, port, baud.get(), token_kwnames, interface, device);
        if (outcome == Probe::Found)
            return PyList_Append(found, device.get()) == 0;
        if (outcome == Probe::Failed && !handle_failed_probe(module, port, baud.get(), interface))
            return false;
    }
    return true;
}

bool log_start(PyObject* module, PyObject* device_models, PyObject* comports)
{
    Ref models_shown(shown(device_models));
    Ref ports_shown(models_shown ? shown(comports) : nullptr);
    return ports_shown && log(module, Level::Info,
                              Message() << "Starting device discovery (models: " << models_shown
                                        << ", ports: " << ports_shown << ")");
}

PyObject* discover_devices(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"cls", "device_models", "comports"}, 1, a))
        return nullptr;
    PyObject* module = fn->module;
    Ref device_models(filter_or_empty(a[1]));
    Ref comports(filter_or_empty(a[2]));
    if (!device_models || !comports)
        return nullptr;
    if (!log_start(module, device_models.get(), comports.get()))
        return nullptr;
    Ref devices(list_port_devices(module));
    if (!devices)
        return log_caught(module, Level::Error, "Failed to enumerate COM ports: ") ? PyList_New(0) : nullptr;

    std::vector<long> bauds;
    if (!plan_bauds(module, device_models.get(), bauds))
        return nullptr;
    if (!refuse_text(comports.get(), "comports"))
        return nullptr;
    const Py_ssize_t wanted = PyObject_Size(comports.get());
    if (wanted < 0)
        return nullptr;
    PyObject* only = wanted > 0 ? comports.get() : nullptr;

    Ref token_kwnames(Py_BuildValue("(s)", "_internal_token"));
    Ref found(PyList_New(0));
    if (!token_kwnames || !found)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(devices.get()); ++i)
    {
        Ref port(cppy::incref(PyList_GET_ITEM(devices.get(), i)));
        if (!scan_port(module, port.get(), only, bauds, token_kwnames.get(), found.get()))
            return nullptr;
    }
    if (!log(module, Level::Info,
             Message() << "Discovery complete: found " << static_cast<long long>(PyList_GET_SIZE(found.get()))
                       << " device(s)"))
        return nullptr;
    return found.release();
}

}  // namespace

const char* const scanner_doc = "VEXLOSerialScanner handles discovery operations for VEXLO devices.";

MemberList scanner_members()
{
    return {
        {"__init__", scanner_init, "(self)",
         "Create a scanner; discovery itself needs no instance.\n\n"
         ":return: None."},
        {"discover_devices", discover_devices, "(cls, device_models=None, comports=None)",
         "Discovers Vexlo serial devices.\n\n"
         ":param device_models: Device model types to search for.\n"
         ":param comports: Specific comports to scan.\n"
         ":return: Vexlo devices discovered during scan.",
         MemberKind::ClassMethod, -1},
    };
}

}  // namespace vexlo
