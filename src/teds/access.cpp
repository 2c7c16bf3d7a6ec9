// TEDS access on the instrument (methods of _SerialCommunicationInterface):
// the edition gate, sensor presence, the laser block, page reads, the whole
// image, and the AutoTEDS switch in both command generations.
#include <Python.h>
#include "common/ref.hpp"

#include <array>
#include <cstdint>

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "protocol/bytes.hpp"
#include "link/link.hpp"
#include "subsystems.hpp"
#include "teds/teds_image.hpp"

namespace vexlo
{

namespace
{

// Read timeouts (seconds) in force during the short TEDS exchanges.
constexpr double kTedsReadTimeout = 0.05;
constexpr double kAutoTedsSetTimeout = 0.1;

constexpr long kFirstPage = 0;
constexpr long kLastPage = static_cast<long>(teds::kPageCount) - 1;

// self.commands.<name>
PyObject* command(PyObject* self, PyObject* name)
{
    Ref commands(get_attr(self, VEXLO_NAME("commands")));
    if (!commands)
        return nullptr;
    return get_attr(commands.get(), name);
}

// self.<sequence>(command, arguments) with self.timeout lowered for the
// exchange and put back afterwards, whatever the outcome.
PyObject* exchange_lowered(PyObject* self, double lowered, PyObject* sequence, PyObject* cmd,
                           PyObject* arguments)
{
    Ref saved(get_attr(self, VEXLO_NAME("timeout")));
    Ref short_timeout(PyFloat_FromDouble(lowered));
    if (!saved || !short_timeout ||
        PyObject_SetAttr(self, VEXLO_NAME("timeout"), short_timeout.get()) < 0)
        return nullptr;
    Ref result(call_method(self, sequence, cmd, arguments));
    if (!finally_set_attr(self, VEXLO_NAME("timeout"), saved.get(), result ? Ref() : fetch_exception()))
        return nullptr;
    return result.release();
}

bool validate(PyObject* self)
{
    Ref result(call_method(self, VEXLO_NAME("_validate_teds_support")));
    return static_cast<bool>(result);
}

// self of a TEDS method without arguments, once the edition gate passed;
// null with an exception set.
PyObject* gated_self(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return bind_none(fn, nargs, kwnames, 1) && validate(args[0]) ? args[0] : nullptr;
}

// value == number, as Python compares.
int equals(PyObject* value, long number)
{
    Ref other(PyLong_FromLong(number));
    if (!other)
        return -1;
    return PyObject_RichCompareBool(value, other.get(), Py_EQ);
}

// One step of the edition gate: 1 when `value` == `expected` as Python
// compares, 0 when not (after the debug record "TEDS not supported: <what>
// is <value>, not <edition>"; the caller raises), -1 with an exception set.
int edition_step(Function* fn, PyObject* value, const char* expected, const char* what, const char* edition)
{
    int other = compare_text(value, expected, Py_NE);
    if (other <= 0)
        return other < 0 ? -1 : 1;
    if (!log(fn->module, Level::Debug,
             Message() << "TEDS not supported: " << what << " is " << value << ", not " << edition))
        return -1;
    return 0;
}

PyObject* validate_teds_support(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    ModuleState* st = state(fn);
    Ref model(get_attr(self, VEXLO_NAME("_cached_model_number")));
    if (!model)
        return nullptr;
    Ref item(get_attr(self, VEXLO_NAME("_cached_item_number")));
    if (!item)
        return nullptr;
    if (model.get() == Py_None || item.get() == Py_None)
    {
        if (!log_text(fn->module, Level::Error, "Cannot validate TEDS support: device info not cached"))
            return nullptr;
        return raise_text(st->VexloCommunicationError,
                          "Device info not available. Ensure device is connected.");
    }
    int plx310 = edition_step(fn, model.get(), models::kEditionModel, "model", "PLX310");
    if (plx310 <= 0)
        return plx310 < 0 ? nullptr
                          : raise(st->VexloTEDSNotSupportedError,
                                  Message() << "TEDS is not supported on " << model << ". ");
    int plus_prime = edition_step(fn, item.get(), models::kPlusPrimeItemNumber, "item number", "Plus Prime");
    if (plus_prime <= 0)
        return plus_prime < 0 ? nullptr
                              : raise_text(st->VexloTEDSNotSupportedError, "TEDS is only supported on Plus Prime ");
    Py_RETURN_NONE;
}

PyObject* teds_is_connected(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    Ref value(send_query(self, VEXLO_NAME("TEDS_Is_Connected_Command")));
    if (!value)
        return nullptr;
    int connected = equals(value.get(), 1);
    if (connected < 0)
        return nullptr;
    return PyBool_FromLong(connected);
}

// True when `value` is a byte string or byte array whose bytes are all 0
// (an empty one included).
bool all_zero_bytes(PyObject* value)
{
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(value))
    {
        data = PyBytes_AS_STRING(value);
        size = PyBytes_GET_SIZE(value);
    }
    else if (PyByteArray_Check(value))
    {
        data = PyByteArray_AS_STRING(value);
        size = PyByteArray_GET_SIZE(value);
    }
    else
        return false;
    for (Py_ssize_t i = 0; i < size; ++i)
        if (data[i] != 0)
            return false;
    return true;
}

PyObject* get_teds_laser(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    Ref cmd(command(self, VEXLO_NAME("Get_TEDS_Laser_Command")));
    Ref arguments(new_bytearray());
    if (!cmd || !arguments)
        return nullptr;
    Ref result(exchange_lowered(self, kTedsReadTimeout,
                                      VEXLO_NAME("send_convert_return_sequence"), cmd.get(),
                                      arguments.get()));
    if (!result)
    {
        // A sensor that never answers is no sensor.
        Ref error(fetch_exception());
        if (!exception_matches(error, state(fn)->VexloTimeoutError))
        {
            restore_exception(error);
            return nullptr;
        }
        if (!log_text(fn->module, Level::Debug, "TEDS laser timeout - no TEDS sensor detected"))
            return nullptr;
        Py_RETURN_NONE;
    }
    if (all_zero_bytes(result.get()))
        Py_RETURN_NONE;
    return result.release();
}

PyObject* get_teds_data(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "page_number"}, 2, a))
        return nullptr;
    PyObject* self = a[0];
    PyObject* page = a[1];
    if (!validate(self))
        return nullptr;
    Ref first(PyLong_FromLong(kFirstPage));
    Ref last(PyLong_FromLong(kLastPage));
    if (!first || !last)
        return nullptr;
    int below = PyObject_RichCompareBool(page, first.get(), Py_LT);
    if (below < 0)
        return nullptr;
    int above = below ? 0 : PyObject_RichCompareBool(page, last.get(), Py_GT);
    if (above < 0)
        return nullptr;
    if (below || above)
        return raise(state(fn)->VexloInvalidParameterError,
                     Message() << "TEDS page number must be 0-15, got " << page);
    // The argument byte is built before anything is sent: a page number that
    // is not an integer fails here.
    uint8_t page_byte = 0;
    if (!byte_like_bytearray(page, &page_byte))
        return nullptr;
    Ref cmd(command(self, VEXLO_NAME("Get_TEDS_Data_Command")));
    Ref arguments(new_bytearray(&page_byte, 1));
    if (!cmd || !arguments)
        return nullptr;
    return exchange_lowered(self, kTedsReadTimeout, VEXLO_NAME("send_convert_return_sequence"),
                            cmd.get(), arguments.get());
}

// page_data[index] as one byte, with the errors of indexing and of storing
// into a byte array.
bool page_byte(PyObject* page_data, int index, uint8_t* out)
{
    if (PyBytes_Check(page_data) && index < PyBytes_GET_SIZE(page_data))
    {
        *out = static_cast<uint8_t>(PyBytes_AS_STRING(page_data)[index]);
        return true;
    }
    if (PyByteArray_Check(page_data) && index < PyByteArray_GET_SIZE(page_data))
    {
        *out = static_cast<uint8_t>(PyByteArray_AS_STRING(page_data)[index]);
        return true;
    }
    Ref key(PyLong_FromLong(index));
    if (!key)
        return false;
    Ref item(PyObject_GetItem(page_data, key.get()));
    return item && byte_like_bytearray(item.get(), out);
}

PyObject* read_image(PyObject* module, PyObject* self)
{
    std::array<uint8_t, teds::kImageSize> image{};
    for (const teds::PagePattern& pattern : teds::page_patterns())
    {
        Ref page(PyLong_FromLong(pattern.page));
        if (!page)
            return nullptr;
        Ref page_data(call_method(self, VEXLO_NAME("get_teds_data"), page.get()));
        if (!page_data)
            return nullptr;
        int index = teds::first_page_index(pattern);
        for (int low = pattern.first_low; low <= pattern.last_low; ++low, ++index)
            if (!page_byte(page_data.get(), index, &image[pattern.high * 256 + low]))
                return nullptr;
    }
    if (!log_text(module, Level::Debug, "Successfully read all 512 bytes of TEDS data"))
        return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image.data()),
                                     static_cast<Py_ssize_t>(image.size()));
}

PyObject* generate_all_teds_data(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    PyObject* image = read_image(fn->module, self);
    if (image)
        return image;
    // An interrupt is no corrupted data: wrapped, it would be logged away by
    // the TEDS load that reads the image.
    return raise_wrapped(fn->module, {}, "Failed to read TEDS data: ",
                         state(fn)->VexloTEDSDataCorruptedError, "Error reading TEDS data: ");
}

// data: 0 for the old command generation, 1 for V1.
bool is_v1(Function* fn)
{
    return fn->data && PyLong_AsLong(fn->data) == 1;
}

PyObject* get_auto_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* self = gated_self(fn, args, nargs, kwnames);
    if (!self)
        return nullptr;
    Ref value(send_query(self, is_v1(fn) ? VEXLO_NAME("Get_Auto_TEDS_V1_Command")
                                               : VEXLO_NAME("Get_Auto_TEDS_Command")));
    if (!value)
        return nullptr;
    // Some firmware reports "on" as 255.
    int on = equals(value.get(), 1);
    if (on == 0)
        on = equals(value.get(), 255);
    if (on < 0)
        return nullptr;
    return PyBool_FromLong(on);
}

PyObject* set_auto_teds(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "is_set"}, 2, a))
        return nullptr;
    PyObject* self = a[0];
    if (!validate(self))
        return nullptr;
    Ref cmd(command(self, is_v1(fn) ? VEXLO_NAME("Set_Auto_TEDS_V1_Command")
                                          : VEXLO_NAME("Set_Auto_TEDS_Command")));
    if (!cmd)
        return nullptr;
    int enable = PyObject_IsTrue(a[1]);
    if (enable < 0)
        return nullptr;
    const uint8_t flag = enable ? 1 : 0;
    Ref arguments(new_bytearray(&flag, 1));
    if (!arguments)
        return nullptr;
    Ref result(exchange_lowered(self, kAutoTedsSetTimeout, VEXLO_NAME("send_sequence"),
                                      cmd.get(), arguments.get()));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

MemberList interface_teds_members()
{
    return {
        {"_validate_teds_support", validate_teds_support, "(self)",
         "Check that the connected instrument is the TEDS-capable edition.\n\n"
         ":return: None.\n"
         ":raises VexloCommunicationError: If the instrument's identity was not cached.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument is not a PLX310 Plus Prime."},
        {"teds_is_connected", teds_is_connected, "(self)",
         "Ask the instrument whether a TEDS sensor is plugged in.\n\n"
         ":return: True when a TEDS sensor is connected, else False.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware."},
        {"get_teds_laser", get_teds_laser, "(self)",
         "Read the TEDS laser block, whose first byte is the template ID.\n\n"
         ":return: The raw answer (8 laser bytes and the checksum byte), or None when\n"
         "    no TEDS sensor answers.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware."},
        {"get_teds_data", get_teds_data, "(self, page_number)",
         "Read one 32-byte page of the TEDS image.\n\n"
         ":param page_number: The page, 0 to 15.\n"
         ":return: The raw answer (the page's 32 bytes and the checksum byte).\n"
         ":raises VexloInvalidParameterError: If page_number lies outside 0 to 15.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware."},
        {"generate_all_teds_data", generate_all_teds_data, "(self)",
         "Read the whole 512-byte TEDS image, page by page.\n\n"
         ":return: The image as bytes.\n"
         ":raises VexloTEDSDataCorruptedError: If any page cannot be read.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware."},
        {"get_auto_teds", get_auto_teds, "(self)",
         "Read the AutoTEDS switch with the command of firmware before 4.3.2.\n\n"
         ":return: True when AutoTEDS is on, else False.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware.",
         MemberKind::Method, 0},
        {"get_auto_teds_v1", get_auto_teds, "(self)",
         "Read the AutoTEDS switch with the command of firmware 4.3.2 and later.\n\n"
         ":return: True when AutoTEDS is on, else False.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware.",
         MemberKind::Method, 1},
        {"set_auto_teds", set_auto_teds, "(self, is_set)",
         "Switch AutoTEDS with the command of firmware before 4.3.2.\n\n"
         ":param is_set: Switch on when true, off otherwise.\n"
         ":return: None.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware.",
         MemberKind::Method, 0},
        {"set_auto_teds_v1", set_auto_teds, "(self, is_set)",
         "Switch AutoTEDS with the command of firmware 4.3.2 and later.\n\n"
         ":param is_set: Switch on when true, off otherwise.\n"
         ":return: None.\n"
         ":raises VexloTEDSNotSupportedError: If the instrument has no TEDS hardware.",
         MemberKind::Method, 1},
    };
}

}  // namespace vexlo
