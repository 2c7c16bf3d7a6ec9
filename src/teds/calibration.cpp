// TEDS calibration and AutoTEDS (methods of VexloDevice): the edition check,
// the choice of AutoTEDS command generation, loading the sensor's data sheet
// and turning it into the device's calibration, the TEDS getters and the
// sampling-rate bracket around TEDS work.
#include <Python.h>
#include "common/ref.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "device/device.hpp"
#include "subsystems.hpp"
#include "teds/calibration_math.hpp"

namespace vexlo
{

namespace
{


bool set_attr(PyObject* object, PyObject* name, PyObject* value)
{
    return value && PyObject_SetAttr(object, name, value) == 0;
}

// ------------------------------------------------------------ support check

PyObject* supports_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    Ref model(get_attr(self, VEXLO_NAME("_model_number")));
    if (!model)
        return nullptr;
    if (model.get() == Py_None)
    {
        model = call_method(self, VEXLO_NAME("get_model_number"));
        if (!set_attr(self, VEXLO_NAME("_model_number"), model.get()))
            return nullptr;
    }
    Ref item(get_attr(self, VEXLO_NAME("_item_number")));
    if (!item)
        return nullptr;
    if (item.get() == Py_None)
    {
        item = call_interface(self, VEXLO_NAME("get_item_number"));
        if (!item)
        {
            Ref error(catch_exception());
            if (!error)
                return nullptr;
            item = PyUnicode_FromStringAndSize("", 0);
        }
        if (!set_attr(self, VEXLO_NAME("_item_number"), item.get()))
            return nullptr;
    }
    int plx310 = compare_text(model.get(), models::kEditionModel, Py_EQ);
    if (plx310 < 0)
        return nullptr;
    int plus_prime = plx310 ? compare_text(item.get(), models::kPlusPrimeItemNumber, Py_EQ) : 0;
    if (plus_prime < 0)
        return nullptr;
    return PyBool_FromLong(plus_prime);
}

// self.<name>() taken by truth: 1, 0 or -1 with an exception set.
int method_truth(PyObject* self, PyObject* name)
{
    Ref result(call_method(self, name));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Raises VexloTEDSNotSupportedError unless self.supports_teds().
bool guard(Function* fn, PyObject* self)
{
    int truth = method_truth(self, VEXLO_NAME("supports_teds"));
    if (truth < 0)
        return false;
    if (truth)
        return true;
    Ref model(call_method(self, VEXLO_NAME("get_model_number")));
    if (!model)
        return false;
    raise(state(fn)->VexloTEDSNotSupportedError, Message() << "TEDS is not supported on " << model);
    return false;
}

// self of a TEDS method without arguments, once the TEDS check passed; null
// with an exception set.
PyObject* gated_self(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return bind_none(fn, nargs, kwnames, 1) && guard(fn, args[0]) ? args[0] : nullptr;
}

PyObject* teds_is_connected(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    return call_interface(self, VEXLO_NAME("teds_is_connected"));
}

// ------------------------------------------------------ firmware generation

// The firmware version, fetched once; "0.0.0" when it cannot be read.
PyObject* firmware_version(Function* fn, PyObject* self)
{
    Ref version(get_attr(self, VEXLO_NAME("_firmware_version")));
    if (!version || version.get() != Py_None)
        return version.release();
    version = call_interface(self, VEXLO_NAME("get_firmware_version_with_patch"));
    if (version)
    {
        if (!set_attr(self, VEXLO_NAME("_firmware_version"), version.get()) ||
            !log(fn->module, Level::Debug, Message() << "Retrieved firmware version: " << version))
            return nullptr;
        return version.release();
    }
    if (!log_caught(fn->module, Level::Warning, "Failed to retrieve firmware version: ",
                    ", assuming old version"))
        return nullptr;
    version = PyUnicode_FromString("0.0.0");
    if (!set_attr(self, VEXLO_NAME("_firmware_version"), version.get()))
        return nullptr;
    return version.release();
}

// Compares a Python integer with a small number: -1, 0 or 1 in *out.
bool compare(PyObject* number, long other, int* out)
{
    Ref value(PyLong_FromLong(other));
    if (!value)
        return false;
    int greater = PyObject_RichCompareBool(number, value.get(), Py_GT);
    if (greater < 0)
        return false;
    if (greater)
    {
        *out = 1;
        return true;
    }
    int equal = PyObject_RichCompareBool(number, value.get(), Py_EQ);
    if (equal < 0)
        return false;
    *out = equal ? 0 : -1;
    return true;
}

// Whether `version` names firmware 4.3.2 or later. The groups are read as
// decimal numbers with int(); a group that does not convert is an error.
bool version_has_v1(PyObject* version, bool* out)
{
    Ref dot(PyUnicode_FromString("."));
    if (!dot)
        return false;
    Ref parts(call_method(version, VEXLO_NAME("split"), dot.get()));
    if (!parts)
        return false;
    Ref groups[3];
    Py_ssize_t count = PySequence_Size(parts.get());
    if (count < 0)
        return false;
    for (Py_ssize_t i = 0; i < 3; ++i)
    {
        if (i < count)
        {
            Ref part(PySequence_GetItem(parts.get(), i));
            if (!part)
                return false;
            groups[i] = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), part.get());
        }
        else
            groups[i] = PyLong_FromLong(0);
        if (!groups[i])
            return false;
    }
    const long minimum[3] = {4, 3, 2};
    // Lexicographic: a higher group decides, an equal one defers to the next;
    // the patch group only has to reach 2.
    for (int i = 0; i < 3; ++i)
    {
        int order = 0;
        if (!compare(groups[i].get(), minimum[i], &order))
            return false;
        if (order != 0 || i == 2)
        {
            *out = order >= 0;
            return true;
        }
    }
    *out = false;
    return true;
}

PyObject* should_use_auto_teds_v1(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref version(firmware_version(fn, args[0]));
    if (!version)
        return nullptr;
    bool v1 = false;
    if (version_has_v1(version.get(), &v1))
        return PyBool_FromLong(v1);
    Ref error(catch_exception());
    if (!error)
        return nullptr;
    if (!log(fn->module, Level::Warning,
             Message() << "Failed to parse firmware version '" << version << "': " << error.get()))
        return nullptr;
    Py_RETURN_FALSE;
}

// ------------------------------------------------------------------ AutoTEDS

// self._should_use_auto_teds_v1() by truth: 1, 0 or -1 on error.
int use_v1(PyObject* self)
{
    return method_truth(self, VEXLO_NAME("_should_use_auto_teds_v1"));
}

PyObject* get_auto_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    int v1 = use_v1(self);
    if (v1 < 0)
        return nullptr;
    return call_interface(self, v1 ? VEXLO_NAME("get_auto_teds_v1") : VEXLO_NAME("get_auto_teds"));
}

PyObject* set_auto_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "enabled"}, 2, a))
        return nullptr;
    PyObject* self = a[0];
    PyObject* enabled = a[1];
    if (!guard(fn, self))
        return nullptr;
    int v1 = use_v1(self);
    if (v1 < 0)
        return nullptr;
    // The instrument's switch changes first.
    Ref switched(call_interface(
        self, v1 ? VEXLO_NAME("set_auto_teds_v1") : VEXLO_NAME("set_auto_teds"), enabled));
    if (!switched)
        return nullptr;
    int on = PyObject_IsTrue(enabled);
    if (on < 0)
        return nullptr;
    if (on)
    {
        Ref reloaded(call_method(self, VEXLO_NAME("reload_teds_data")));
        if (!reloaded)
            return nullptr;
        Py_RETURN_NONE;
    }
    // Back to the calibration stored for channel 0's selected profile.
    if (!set_attr(self, VEXLO_NAME("_teds_data"), Py_None))
        return nullptr;
    Ref channel(PyLong_FromLong(0));
    if (!channel)
        return nullptr;
    Ref profile(call_method(self, VEXLO_NAME("get_device_channel_selected_profile"), channel.get()));
    if (!profile || !load_converter(self, profile.get()))
        return nullptr;
    if (!log_text(fn->module, Level::Info, "AutoTEDS disabled - reverted to manual calibration"))
        return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------- TEDS loading

// The first byte of the laser answer is the template ID.
PyObject* template_of(PyObject* laser)
{
    if (PyBytes_Check(laser) || PyByteArray_Check(laser))
        return PySequence_GetItem(laser, 0);
    return PyLong_FromLong(0);
}

// Step 4 of reload_teds_data: laser, image, parse, calibration.
bool load_teds(Function* fn, PyObject* self)
{
    ModuleState* st = state(fn);
    Ref laser(call_interface(self, VEXLO_NAME("get_teds_laser")));
    if (!laser)
        return false;
    if (laser.get() == Py_None)
    {
        raise_text(st->VexloTEDSNotConnectedError,
                   "Failed to read TEDS template - sensor may be disconnected");
        return false;
    }
    Ref template_id(template_of(laser.get()));
    if (!template_id)
        return false;
    Ref image(call_interface(self, VEXLO_NAME("generate_all_teds_data")));
    if (!image)
        return false;
    Ref data(call_method(st->TEDSDataType, VEXLO_NAME("parse_from_bytes"), image.get(),
                               template_id.get()));
    if (!set_attr(self, VEXLO_NAME("_teds_data"), data.get()))
        return false;
    Ref serial(get_attr(data.get(), VEXLO_NAME("serial_number")));
    Ref parsed_template(serial ? get_attr(data.get(), VEXLO_NAME("template")) : nullptr);
    Ref capacity(parsed_template ? get_attr(data.get(), VEXLO_NAME("max_capacity")) : nullptr);
    if (!capacity)
        return false;
    if (!log(fn->module, Level::Info,
             Message() << "TEDS data loaded: SN=" << serial << ", Template=" << parsed_template
                       << ", Max Capacity=" << capacity))
        return false;
    // The TEDS calibration is always built on profile 0 of the stored calibration.
    Ref profile(PyLong_FromLong(0));
    if (!profile)
        return false;
    Ref loaded(call_method(self, VEXLO_NAME("_load_teds_calibration_plx310"), data.get(),
                                 profile.get()));
    return static_cast<bool>(loaded);
}

PyObject* reload_teds_data(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    int truth = method_truth(self, VEXLO_NAME("teds_is_connected"));
    if (truth < 0)
        return nullptr;
    if (!truth)
        return raise_text(state(fn)->VexloTEDSNotConnectedError, "No TEDS sensor connected to device");
    if (!log_text(fn->module, Level::Info, "Reloading TEDS data from sensor"))
        return nullptr;
    if (load_teds(fn, self))
        Py_RETURN_NONE;
    // A failed load is reported in the log only; what it completed stays.
    if (!log_caught(fn->module, Level::Error, "Error loading teds "))
        return nullptr;
    Py_RETURN_NONE;
}

// Steps 1 to 3 of initialize_teds.
bool initialize(Function* fn, PyObject* self)
{
    int truth = method_truth(self, VEXLO_NAME("supports_teds"));
    if (truth < 0)
        return false;
    if (!truth)
        return log_text(fn->module, Level::Debug,
                        "Device does not support TEDS - skipping TEDS initialization");
    if ((truth = method_truth(self, VEXLO_NAME("get_auto_teds"))) < 0)
        return false;
    if (!truth)
        return log_text(fn->module, Level::Debug,
                        "AutoTEDS is disabled - TEDS data will not be auto-loaded");
    if ((truth = method_truth(self, VEXLO_NAME("teds_is_connected"))) < 0)
        return false;
    if (!truth)
        return log_text(fn->module, Level::Warning, "AutoTEDS enabled but no TEDS sensor connected");
    if (!log_text(fn->module, Level::Info, "AutoTEDS enabled - automatically loading TEDS calibration"))
        return false;
    Ref reloaded(call_method(self, VEXLO_NAME("reload_teds_data")));
    return static_cast<bool>(reloaded);
}

PyObject* initialize_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    if (initialize(fn, args[0]))
        Py_RETURN_NONE;
    if (!log_caught(fn->module, Level::Warning, "Failed to auto-load TEDS data during initialization: ") ||
        !log_text(fn->module, Level::Warning, "Device will use manual calibration"))
        return nullptr;
    Py_RETURN_NONE;
}

// --------------------------------------------------------- TEDS calibration

bool attr_double(PyObject* object, PyObject* name, double* out)
{
    Ref value(get_attr(object, name));
    if (!value)
        return false;
    *out = PyFloat_AsDouble(value.get());
    return !(*out == -1.0 && PyErr_Occurred());
}

// target.<name> = source.<source_name>
bool copy_attr(PyObject* target, PyObject* name, PyObject* source, PyObject* source_name)
{
    Ref value(get_attr(source, source_name));
    return set_attr(target, name, value.get());
}

// target.<name> = int(count): truncated toward zero, as int() does (with its
// errors for infinities and NaN).
bool set_count(PyObject* target, PyObject* name, double count)
{
    Ref value(PyLong_FromDouble(count));
    return set_attr(target, name, value.get());
}

bool division_by_zero()
{
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    return false;
}

// The slope of the stored direction 1, in counts per unit load.
bool stored_slope(PyObject* cur, double* slope)
{
    double offset_value, fullscale_value, offset_load, fullscale_load;
    if (!attr_double(cur, VEXLO_NAME("direction_1_offset_value"), &offset_value) ||
        !attr_double(cur, VEXLO_NAME("direction_1_fullscale_value"), &fullscale_value) ||
        !attr_double(cur, VEXLO_NAME("direction_1_offset_load"), &offset_load) ||
        !attr_double(cur, VEXLO_NAME("direction_1_fullscale_load"), &fullscale_load))
        return false;
    if (!teds::forward_slope(offset_value, fullscale_value, offset_load, fullscale_load, slope))
        return division_by_zero();
    return true;
}

// Direction 2 from the reverse scaling: below the offset count of the stored
// direction that the direction code selects.
bool fill_reverse(PyObject* t, PyObject* cur, PyObject* teds_data, double slope)
{
    double reverse_max_electrical = 0.0;
    Ref code(get_attr(cur, VEXLO_NAME("number_of_directions")));
    if (!code)
        return false;
    Ref one(PyLong_FromLong(1));
    int code_is_one = one ? PyObject_RichCompareBool(code.get(), one.get(), Py_EQ) : -1;
    if (code_is_one < 0)
        return false;
    PyObject* source_offset = code_is_one ? VEXLO_NAME("direction_1_offset_value")
                                          : VEXLO_NAME("direction_2_offset_value");
    if (!copy_attr(t, VEXLO_NAME("direction_2_offset_value"), cur, source_offset) ||
        !copy_attr(t, VEXLO_NAME("direction_2_offset_load"), teds_data, VEXLO_NAME("min_capacity")))
        return false;
    double offset_value = 0.0;
    double reverse = slope;
    if (!attr_double(cur, source_offset, &offset_value))
        return false;
    if (!code_is_one)
    {
        double fullscale_value, offset_load, fullscale_load;
        if (!attr_double(cur, VEXLO_NAME("direction_2_fullscale_value"), &fullscale_value) ||
            !attr_double(cur, VEXLO_NAME("direction_2_offset_load"), &offset_load) ||
            !attr_double(cur, VEXLO_NAME("direction_2_fullscale_load"), &fullscale_load))
            return false;
        if (!teds::reverse_slope(offset_value, fullscale_value, offset_load, fullscale_load, &reverse))
            return division_by_zero();
    }
    if (!attr_double(teds_data, VEXLO_NAME("reverse_max_electrical"), &reverse_max_electrical))
        return false;
    if (!set_count(t, VEXLO_NAME("direction_2_fullscale_value"),
                   teds::reverse_fullscale_count(offset_value, reverse, reverse_max_electrical)) ||
        !copy_attr(t, VEXLO_NAME("direction_2_fullscale_load"), teds_data, VEXLO_NAME("max_capacity")))
        return false;
    Ref two_directions(PyLong_FromLong(1));
    return set_attr(t, VEXLO_NAME("number_of_directions"), two_directions.get());
}

bool load_calibration(Function* fn, PyObject* self, PyObject* teds_data, PyObject* profile)
{
    ModuleState* st = state(fn);
    if (!log(fn->module, Level::Debug,
             Message() << "Loading TEDS calibration for PLX310 (profile " << profile << ")"))
        return false;
    Ref cur(call_interface(self, VEXLO_NAME("load_adc_converter"), profile));
    if (!cur)
        return false;
    Ref t(PyObject_CallNoArgs(st->ADCConverterType));
    if (!t)
        return false;
    Ref two(PyLong_FromLong(2));
    if (!set_attr(t.get(), VEXLO_NAME("number_of_loading_points"), two.get()) ||
        !copy_attr(t.get(), VEXLO_NAME("direction_1_offset_load"), teds_data,
                   VEXLO_NAME("min_capacity")) ||
        !copy_attr(t.get(), VEXLO_NAME("direction_1_offset_value"), cur.get(),
                   VEXLO_NAME("direction_1_offset_value")))
        return false;
    double slope = 0.0, offset_value = 0.0, max_electrical = 0.0;
    if (!stored_slope(cur.get(), &slope) ||
        !attr_double(cur.get(), VEXLO_NAME("direction_1_offset_value"), &offset_value) ||
        !attr_double(teds_data, VEXLO_NAME("max_electrical"), &max_electrical))
        return false;
    if (!set_count(t.get(), VEXLO_NAME("direction_1_fullscale_value"),
                   teds::forward_fullscale_count(slope, max_electrical, offset_value)) ||
        !copy_attr(t.get(), VEXLO_NAME("direction_1_fullscale_load"), teds_data,
                   VEXLO_NAME("max_capacity")))
        return false;
    Ref one_direction(PyLong_FromLong(0));
    if (!set_attr(t.get(), VEXLO_NAME("number_of_directions"), one_direction.get()))
        return false;
    Ref reverse(get_attr(teds_data, VEXLO_NAME("reverse_scaling_enabled")));
    if (!reverse)
        return false;
    int reverse_on = PyObject_IsTrue(reverse.get());
    if (reverse_on < 0 || (reverse_on && !fill_reverse(t.get(), cur.get(), teds_data, slope)))
        return false;
    Ref unit_scale(PyFloat_FromDouble(1.0));
    Ref no_offset(PyFloat_FromDouble(0.0));
    if (!set_attr(t.get(), VEXLO_NAME("scale_factor"), unit_scale.get()) ||
        !set_attr(t.get(), VEXLO_NAME("offset"), no_offset.get()))
        return false;
    // Only now does the device use the new calibration.
    if (!set_attr(self, VEXLO_NAME("adc_converter"), t.get()))
        return false;
    Ref min_capacity(get_attr(teds_data, VEXLO_NAME("min_capacity")));
    Ref max_capacity(min_capacity ? get_attr(teds_data, VEXLO_NAME("max_capacity")) : nullptr);
    Ref reverse_now(max_capacity ? get_attr(teds_data, VEXLO_NAME("reverse_scaling_enabled"))
                                       : nullptr);
    if (!reverse_now)
        return false;
    return log(fn->module, Level::Info,
               Message() << "TEDS calibration loaded: " << min_capacity << " to " << max_capacity
                         << ", Reverse scaling: " << reverse_now);
}

PyObject* load_teds_calibration_plx310(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "teds_data", "profile"}, 3, a))
        return nullptr;
    if (load_calibration(fn, a[0], a[1], a[2]))
        Py_RETURN_NONE;
    return raise_wrapped(fn->module, {}, "Failed to load TEDS calibration: ",
                         state(fn)->VexloCalibrationError, "Error loading TEDS calibration: ");
}

// ------------------------------------------------------------------ getters

// self._teds_data, or VexloTEDSNotConnectedError when nothing is loaded.
PyObject* loaded_teds(Function* fn, PyObject* self)
{
    Ref data(get_attr(self, VEXLO_NAME("_teds_data")));
    if (data && data.get() == Py_None)
        return raise_text(state(fn)->VexloTEDSNotConnectedError,
                          "No TEDS data loaded. Ensure TEDS sensor is connected and AutoTEDS is enabled.");
    return data.release();
}

// data: 0 serial number, 1 template, 2 max capacity.
PyObject* teds_field(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref data(loaded_teds(fn, args[0]));
    if (!data)
        return nullptr;
    switch (PyLong_AsLong(fn->data))
    {
    case 0:
        return get_attr(data.get(), VEXLO_NAME("serial_number"));
    case 1:
        return get_attr(data.get(), VEXLO_NAME("template"));
    default:
        return get_attr(data.get(), VEXLO_NAME("max_capacity"));
    }
}

PyObject* get_teds_engineering_unit(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref data(loaded_teds(fn, args[0]));
    if (!data)
        return nullptr;
    Ref code(get_attr(data.get(), VEXLO_NAME("engineering_unit")));
    if (!code)
        return nullptr;
    PyObject* unit = PyDict_GetItemWithError(state(fn)->teds_unit_mapping, code.get());
    if (unit)
        return cppy::incref(unit);
    if (PyErr_Occurred())
        return nullptr;
    return (Message() << "Unknown (" << code << ")").build();
}

// ----------------------------------------------------- sampling-rate bracket

PyObject* pre_teds_operations(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    Ref zero(PyLong_FromLong(0));
    if (!zero)
        return nullptr;
    Ref rate(call_method(self, VEXLO_NAME("get_sampling_rate"), zero.get()));
    if (!set_attr(self, VEXLO_NAME("_cached_sampling_rate_for_teds"), rate.get()))
        return nullptr;
    // The lowest rate, on channel 0.
    Ref bracket(PyLong_FromLong(models::kTedsBracketRateCode));
    if (!bracket)
        return nullptr;
    Ref lowered(call_method(self, VEXLO_NAME("set_sampling_rate_value"), bracket.get(), zero.get()));
    if (!lowered)
        return nullptr;
    if (!log_text(fn->module, Level::Debug,
                  "Pre-TEDS operations: sampling rate cached and set to 2.5 SPS"))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* post_teds_operations(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    Ref time_module(module_global(fn->module, "time"));
    Ref seconds(PyLong_FromLong(models::kTedsSettleSeconds));
    if (!time_module || !seconds)
        return nullptr;
    Ref slept(call_method(time_module.get(), VEXLO_NAME("sleep"), seconds.get()));
    if (!slept)
        return nullptr;
    Ref cached(get_attr(self, VEXLO_NAME("_cached_sampling_rate_for_teds")));
    if (!cached)
        return nullptr;
    if (cached.get() != Py_None)
    {
        Ref channel(PyLong_FromLong(0));
        if (!channel)
            return nullptr;
        Ref restored(call_method(self, VEXLO_NAME("set_sampling_rate_value"), cached.get(),
                                       channel.get()));
        if (!restored || !set_attr(self, VEXLO_NAME("_cached_sampling_rate_for_teds"), Py_None))
            return nullptr;
    }
    if (!log_text(fn->module, Level::Debug, "Post-TEDS operations: sampling rate restored"))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

MemberList device_teds_members()
{
    return {
        {"initialize_teds", initialize_teds, "(self)",
         "Initialize TEDS support during device discovery.\n\n"
         "Loads the TEDS calibration when the instrument's AutoTEDS switch is on and\n"
         "a TEDS sensor is present; failures are logged and never raised.\n\n"
         ":return: None."},
        {"teds_is_connected", teds_is_connected, "(self)",
         "Check whether a TEDS sensor is plugged into the instrument.\n\n"
         ":return: True when a TEDS sensor is connected, else False.\n"
         ":raises VexloTEDSNotSupportedError: If the device does not support TEDS."},
        {"get_teds_template", teds_field, "(self)",
         "Get the TEDS template ID of the loaded TEDS data.\n\n"
         ":return: The template ID.\n"
         ":raises VexloTEDSNotConnectedError: If no TEDS data is loaded.",
         MemberKind::Method, 1},
        {"get_teds_serial_number", teds_field, "(self)",
         "Get the sensor serial number from the loaded TEDS data.\n\n"
         ":return: The serial number in decimal digits.\n"
         ":raises VexloTEDSNotConnectedError: If no TEDS data is loaded.",
         MemberKind::Method, 0},
        {"get_teds_engineering_unit", get_teds_engineering_unit, "(self)",
         "Get the engineering unit of the loaded TEDS data.\n\n"
         ":return: The unit text, or \"Unknown (code)\" for a code without a unit.\n"
         ":raises VexloTEDSNotConnectedError: If no TEDS data is loaded."},
        {"get_teds_max_capacity", teds_field, "(self)",
         "Get the rated capacity from the loaded TEDS data.\n\n"
         ":return: The maximum physical value, in the sensor's native unit.\n"
         ":raises VexloTEDSNotConnectedError: If no TEDS data is loaded.",
         MemberKind::Method, 2},
        {"get_auto_teds", get_auto_teds, "(self)",
         "Read the instrument's AutoTEDS switch.\n\n"
         ":return: True when AutoTEDS is on, else False.\n"
         ":raises VexloTEDSNotSupportedError: If the device does not support TEDS."},
        {"set_auto_teds", set_auto_teds, "(self, enabled)",
         "Switch AutoTEDS on or off.\n\n"
         "Switching on loads the TEDS calibration at once; switching off returns to\n"
         "the calibration stored for channel 0's selected profile.\n\n"
         ":param enabled: Switch on when true, off otherwise.\n"
         ":return: None.\n"
         ":raises VexloTEDSNotSupportedError: If the device does not support TEDS.\n"
         ":raises VexloTEDSNotConnectedError: If switching on finds no TEDS sensor."},
        {"reload_teds_data", reload_teds_data, "(self)",
         "Read the TEDS data sheet from the sensor and use it as the calibration.\n\n"
         "Failures while loading are logged, not raised; the previous calibration\n"
         "then stays in force.\n\n"
         ":return: None.\n"
         ":raises VexloTEDSNotSupportedError: If the device does not support TEDS.\n"
         ":raises VexloTEDSNotConnectedError: If no TEDS sensor is connected."},
        {"supports_teds", supports_teds, "(self)",
         "Check whether the device is the TEDS-capable PLX310 Plus Prime edition.\n\n"
         ":return: True when the device supports TEDS, else False."},
        {"pre_teds_operations", pre_teds_operations, "(self)",
         "Lower channel 0's sampling rate to the slowest rate for TEDS work.\n\n"
         "The current rate is kept for post_teds_operations.\n\n"
         ":return: None."},
        {"post_teds_operations", post_teds_operations, "(self)",
         "Let the instrument settle after TEDS work, then restore the sampling rate.\n\n"
         "Waits 3 seconds, then restores the rate kept by pre_teds_operations, if any.\n\n"
         ":return: None."},
        {"_should_use_auto_teds_v1", should_use_auto_teds_v1, "(self)",
         "Choose the AutoTEDS command generation by firmware version.\n\n"
         ":return: True for firmware 4.3.2 and later (V1 commands), else False."},
        {"_load_teds_calibration_plx310", load_teds_calibration_plx310, "(self, teds_data, profile)",
         "Build the device's calibration from TEDS data and a stored calibration.\n\n"
         ":param teds_data: The parsed TEDS data.\n"
         ":param profile: The profile whose stored calibration supplies the counts.\n"
         ":return: None.\n"
         ":raises VexloCalibrationError: If the calibration cannot be built."},
    };
}

}  // namespace vexlo
