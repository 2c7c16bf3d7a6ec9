// Module entry: multi-phase initialisation, module state and the module-level
// names in their order of creation.
#include <Python.h>
#include "common/ref.hpp"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "common/boundary.hpp"
#include "common/classes.hpp"
#include "common/function.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

constexpr const char* kModuleName = "vexlo_device_communication";

// The interpreter that first imported the module; the module keeps state that
// cannot be shared between interpreters. Atomic: interpreters with a GIL of
// their own may import at the same moment.
std::atomic<int64_t> g_owner_interpreter{-1};

struct ErrorSpec
{
    const char* name;
    PyObject* ModuleState::*field;
    PyObject* ModuleState::*base;  // null: Exception
    const char* doc;
};

// One row of kErrors: the class and its base each named once.
#define VEXLO_ERROR(name, base, doc) {#name, &ModuleState::name, &ModuleState::base, doc}

const ErrorSpec kErrors[] = {
    {"VexloDeviceError", &ModuleState::VexloDeviceError, nullptr, "Base exception for all VEXLO device errors"},
    VEXLO_ERROR(VexloConnectionError, VexloDeviceError, "Raised when connection/disconnection fails"),
    VEXLO_ERROR(VexloCommunicationError, VexloDeviceError, "Raised when serial communication fails"),
    VEXLO_ERROR(VexloTimeoutError, VexloCommunicationError, "Raised when a command times out"),
    VEXLO_ERROR(VexloProtocolError, VexloDeviceError, "Raised when protocol/checksum validation fails"),
    VEXLO_ERROR(VexloInvalidParameterError, VexloDeviceError, "Raised when invalid parameters are provided"),
    VEXLO_ERROR(VexloDeviceNotFoundError, VexloDeviceError, "Raised when device discovery fails"),
    VEXLO_ERROR(VexloCalibrationError, VexloDeviceError, "Raised when calibration data is invalid or missing"),
    VEXLO_ERROR(VexloTEDSError, VexloDeviceError, "Base exception for TEDS-related errors"),
    VEXLO_ERROR(VexloTEDSNotSupportedError, VexloTEDSError, "Raised when device doesn't support TEDS"),
    VEXLO_ERROR(VexloTEDSNotConnectedError, VexloTEDSError, "Raised when TEDS sensor is not physically connected"),
    VEXLO_ERROR(VexloTEDSDataCorruptedError, VexloTEDSError, "Raised when TEDS data checksum/parsing fails"),
};

#undef VEXLO_ERROR

const std::pair<int, const char*> kTedsUnits[] = {
    {0, "\xC2\xB0K"}, {1, "\xC2\xB0" "C"}, {4, "N"},     {5, "lb"},   {10, "N-m"},
    {11, "in-oz"},    {12, "Pa"},          {13, "psi"},  {14, "kg"},  {15, "g"},
    {16, "m"},        {17, "mm"},          {18, "in"},
};

using Members = std::vector<std::pair<const char*, int>>;

const char* const kUnitNames[] = {
    "atm",   "bar",  "dyn",  "ft_H2O", "ft_lb",  "gram", "g_cm", "g_mm", "inch_H2O", "inch_lb",
    "inch_oz", "k_dyn", "kg", "kg_cm", "kg_cm_sq", "kg_m", "k_lb", "k_N", "k_Pa",   "k_P_si",
    "lb",    "m_dyn", "mm_Hg", "m_Nm", "M_Pa",   "MT",   "N",    "Ncm",  "Nm",       "Nmm",
    "oz",    "psi",  "Pa",   "ST",     "mVV",    "uA",   "mA",   "A",    "mm",       "cm",
    "dm",    "m",    "km",   "inch",   "ft",     "yd",   "mi",   "ug",   "mg",       "LT",
    "mbar",  "C",    "F",    "K",      "Ra",     "kNm",  "gm",   "nV",   "uV",       "mV",
    "V",     "kV",   "none", "mN",
};

const char* const kUnitDoc =
    "Available units of measure for VEXLO devices.\n"
    "\n"
    "Supports various measurement units including:\n"
    "- Force: lb, N, kg, oz, gram, dyn, kN, mN\n"
    "- Torque: Nm, Ncm, Nmm, inch_lb, inch_oz, ft_lb, kg_cm, kg_m, kNm\n"
    "- Pressure: psi, bar, Pa, kPa, MPa, atm, mbar, mm_Hg, inch_H2O, ft_H2O\n"
    "- Distance: mm, cm, dm, m, km, inch, ft, yd, mi\n"
    "- Temperature: C, F, K, Ra\n"
    "- Electrical: V, mV, uV, nV, kV, A, mA, uA, mVV, Ohms\n"
    "- Mass: g, mg, ug, kg, MT, ST, LT\n";

// Adds `value` (stolen) to the module under `name`.
bool add_object(PyObject* module, const char* name, PyObject* value)
{
    Ref owned(value);
    return owned && PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// Adds `value` (stolen) to the module and keeps a reference in the state.
bool add_kept(PyObject* module, const char* name, PyObject* value, PyObject*& slot)
{
    if (!value)
        return false;
    slot = value;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

bool import_globals(PyObject* module)
{
    for (const char* name : {"logging", "time", "struct", "hashlib", "functools", "enum"})
        if (!add_object(module, name, PyImport_ImportModule(name)))
            return false;
    // `serial` is bound after its port lister is imported, so that
    // serial.tools.list_ports is reachable through it.
    Ref lister(PyImport_ImportModule("serial.tools.list_ports"));
    if (!lister)
        return false;
    return add_object(module, "serial", PyImport_ImportModule("serial"));
}

bool add_logger(PyObject* module)
{
    Ref logging(PyObject_GetAttrString(module, "logging"));
    if (!logging)
        return false;
    // logging.Logger and its own debug method, as they are now: see debug_wanted.
    ModuleState* state = state_of(module);
    state->LoggerClass = PyObject_GetAttrString(logging.get(), "Logger");
    if (!state->LoggerClass || !PyType_Check(state->LoggerClass))
        return false;
    Ref debug_name(PyUnicode_InternFromString("debug"));
    if (!debug_name)
        return false;
    state->logger_debug = cppy::xincref(compat::type_lookup(type_of(state->LoggerClass), debug_name.get()));
    return add_object(module, "logger",
                      PyObject_CallMethod(logging.get(), "getLogger", "s", kModuleName));
}

bool add_teds_units(PyObject* module, ModuleState* state)
{
    Ref mapping(PyDict_New());
    if (!mapping)
        return false;
    for (const auto& entry : kTedsUnits)
    {
        Ref key(PyLong_FromLong(entry.first));
        Ref text(PyUnicode_FromString(entry.second));
        if (!key || !text || PyDict_SetItem(mapping.get(), key.get(), text.get()) < 0)
            return false;
    }
    return add_kept(module, "_TEDS_UNIT_MAPPING", mapping.release(), state->teds_unit_mapping);
}

bool add_errors(PyObject* module, ModuleState* state)
{
    for (const ErrorSpec& spec : kErrors)
    {
        std::string qualified = std::string(kModuleName) + "." + spec.name;
        PyObject* base = spec.base ? state->*(spec.base) : PyExc_Exception;
        PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), spec.doc, base, nullptr);
        if (!add_kept(module, spec.name, cls, state->*(spec.field)))
            return false;
    }
    return true;
}

// A plain enum.Enum subclass made through the functional API, so members
// pickle by name through the module.
PyObject* make_enum(PyObject* module, const char* name, const Members& members, PyObject* doc)
{
    Ref doc_owner(doc);
    if (!doc_owner)
        return nullptr;
    Ref enum_module(PyObject_GetAttrString(module, "enum"));
    if (!enum_module)
        return nullptr;
    Ref enum_base(PyObject_GetAttrString(enum_module.get(), "Enum"));
    Ref items(PyList_New(0));
    if (!enum_base || !items)
        return nullptr;
    for (const auto& member : members)
    {
        Ref item(Py_BuildValue("(si)", member.first, member.second));
        if (!item || PyList_Append(items.get(), item.get()) < 0)
            return nullptr;
    }
    Ref args(Py_BuildValue("(sO)", name, items.get()));
    Ref kwargs(Py_BuildValue("{s:O,s:s}", "module", state_of(module)->module_name,
                                   "qualname", name));
    if (!args || !kwargs)
        return nullptr;
    Ref cls(PyObject_Call(enum_base.get(), args.get(), kwargs.get()));
    if (!cls || PyObject_SetAttrString(cls.get(), "__doc__", doc_owner.get()) < 0)
        return nullptr;
    return cls.release();
}

Members unit_members()
{
    Members members;
    int value = 0;
    for (const char* name : kUnitNames)
        members.emplace_back(name, value++);
    members.emplace_back("Ohms", 254);
    members.emplace_back("Undefined", 255);
    return members;
}

// The interface's two command sequences retry timed-out exchanges; the class
// attributes are the wrappers.
bool wrap_sequences(PyObject* module, PyObject* interface_class)
{
    Ref retry(PyObject_GetAttrString(module, "retry_on_timeout"));
    if (!retry)
        return false;
    for (const char* name : {"send_convert_return_sequence", "send_sequence"})
    {
        Ref function(PyObject_GetAttrString(interface_class, name));
        if (!function)
            return false;
        Ref decorator(PyObject_CallNoArgs(retry.get()));
        if (!decorator)
            return false;
        Ref wrapper(PyObject_CallOneArg(decorator.get(), function.get()));
        if (!wrapper || PyObject_SetAttrString(interface_class, name, wrapper.get()) < 0)
            return false;
    }
    return true;
}

bool add_interface_class(PyObject* module, ModuleState* state)
{
    MemberList members = interface_link_members();
    extend(members, interface_query_members());
    extend(members, interface_calibration_members());
    extend(members, interface_teds_members());
    PyObject* cls = make_class(module, "_SerialCommunicationInterface", interface_doc, members);
    if (!add_kept(module, "_SerialCommunicationInterface", cls, state->SerialInterfaceClass))
        return false;
    return wrap_sequences(module, cls);
}

bool add_device_class(PyObject* module, ModuleState* state)
{
    MemberList members = device_members();
    extend(members, device_teds_members());
    return add_kept(module, "VexloDevice", make_class(module, "VexloDevice", device_doc, members),
                    state->DeviceClass) &&
           annotate_device_class(state->DeviceClass);
}

int module_exec(PyObject* module)
{
    if (!compat::watch_finalization())
        return -1;
    ModuleState* state = state_of(module);
    state->module_name = PyUnicode_InternFromString(kModuleName);
    state->empty_arguments = PyByteArray_FromStringAndSize(nullptr, 0);
    if (!state->module_name || !state->empty_arguments || !add_function_type(module))
        return -1;
    if (!add_adc_converter_type(module) || !add_teds_data_type(module) || !add_stream_types(module))
        return -1;
    if (!import_globals(module) || !add_logger(module))
        return -1;
    if (!add_kept(module, "_DEVICE_CREATION_TOKEN",
                  PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)),
                  state->device_token))
        return -1;
    if (!add_teds_units(module, state) || !add_errors(module, state))
        return -1;
    if (!add_object(module, "retry_on_timeout", make_retry_on_timeout(module)))
        return -1;
    if (!add_kept(module, "UnitOfMeasureEnum",
                  make_enum(module, "UnitOfMeasureEnum", unit_members(), PyUnicode_FromString(kUnitDoc)),
                  state->UnitOfMeasureEnum))
        return -1;
    if (!add_device_class(module, state))
        return -1;
    if (!add_object(module, "StreamDataConverter",
                    make_class(module, "StreamDataConverter", stream_converter_doc,
                               stream_converter_members())))
        return -1;
    if (!add_kept(module, "VexloSerialScanner",
                  make_class(module, "VexloSerialScanner", scanner_doc, scanner_members()),
                  state->ScannerClass))
        return -1;
    if (!add_kept(module, "_Command", make_class(module, "_Command", command_doc, command_members()),
                  state->CommandClass))
        return -1;
    if (!add_interface_class(module, state))
        return -1;
    for (const models::Model& model : models::table())
    {
        std::string name = std::string(model.name) + "SamplingRateEnum";
        Members members;
        for (const models::Rate& rate : *model.rates)
            members.push_back({rate.member, rate.code});
        if (!add_object(module, name.c_str(),
                        make_enum(module, name.c_str(), members,
                                  PyUnicode_FromFormat(model.rates_doc, model.name))))
            return -1;
    }
    if (!add_kept(module, "_CommandOperations",
                  make_class(module, "_CommandOperations", command_operations_doc, command_operations_members()),
                  state->CommandOperationsClass))
        return -1;
    return 0;
}

// Refuses a second interpreter before any state is created.
PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0)
        return nullptr;
    int64_t owner = -1;
    if (!g_owner_interpreter.compare_exchange_strong(owner, current) && owner != current)
    {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    return PyModule_NewObject(name.get());
}

// Calls `f` on each strong reference of the module state (may be null).
template <typename F>
void for_each_object(PyObject* module, F&& f)
{
    ModuleState* state = state_of(module);
    if (!state)
        return;
#define VEXLO_EACH(name) f(state->name);
    VEXLO_STATE_OBJECTS(VEXLO_EACH)
#undef VEXLO_EACH
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    // As Py_VISIT: the first nonzero result ends the walk.
    int result = 0;
    for_each_object(module, [&](PyObject* object) {
        if (!result && object)
            result = visit(object, arg);
    });
    return result;
}

int module_clear(PyObject* module)
{
    for_each_object(module, [](PyObject*& object) { Py_CLEAR(object); });
    return 0;
}

void module_free(void* module)
{
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(guarded<module_exec>)},
#if PY_VERSION_HEX >= 0x030C0000
    // Any interpreter may try the import, so that module_create can refuse
    // all but the first with its own message; without this the import
    // system turns subinterpreters away first, with a generic one.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Access to Vexlo strain-gauge instrument adapters on serial ports.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace vexlo

PyMODINIT_FUNC PyInit_vexlo_device_communication()
{
    return PyModuleDef_Init(&vexlo::module_def);
}
