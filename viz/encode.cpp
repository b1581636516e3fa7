// viz/encode.cpp: NumPy arrays and nested values -> JSON-ready values; display text for shapes and sizes.
#include "frame/buffer.h"       // BufferView
#include "frame/frame.h"        // Ref, Call, Module, the function table
#include "frame/text.h"         // base64_str

#include <cstring>

using namespace nivra;

namespace {

const Name kNp("np"), kBase64("base64");
const Name kAscontiguousarray("ascontiguousarray"), kMin("min"), kMax("max"), kMean("mean"), kStd("std");
const Name kNdarray("ndarray"), kInteger("integer"), kFloating("floating"), kBool_("bool_");
const Name kShape("shape"), kDtype("dtype"), kData("data"), kStats("stats"), kSize("size");
const Name kTobytes("tobytes"), kItem("item"), kItems("items"), kTolist("tolist"), kDecode("decode");
const Name kErrors("errors");
const Name kEncodeArray("encode_array"), kEncodeValue("encode_value");
const Name kB64decode("b64decode"), kFrombuffer("frombuffer"), kReshape("reshape");

// base64 of the array's row-major element bytes: straight from its buffer
// when it exports one, else through its tobytes().
Ref array_data(PyObject* arr) {
    BufferView buf;
    if (buf.acquire(arr)) {
        const Py_buffer& v = buf.view();
        return base64_str(static_cast<const unsigned char*>(v.buf), static_cast<std::size_t>(v.len));
    }
    Ref raw = call_method(arr, kTobytes);
    char* bytes = nullptr;
    Py_ssize_t n = 0;
    check(PyBytes_AsStringAndSize(raw.get(), &bytes, &n));
    return base64_str(reinterpret_cast<const unsigned char*>(bytes), static_cast<std::size_t>(n));
}

Ref stat(PyObject* np, const Name& fn, PyObject* arr) {
    Ref f = attr(np, fn);
    Ref v = call(f.get(), arr);
    return new_ref(PyNumber_Float(v.get()));
}

Ref encode_array_of(Call& c, PyObject* value) {
    Ref np = c.global(kNp);
    Ref asc = attr(np.get(), kAscontiguousarray);
    Ref arr = call(asc.get(), value);

    Ref size = attr(arr.get(), kSize);
    Ref stats = new_dict();
    if (compare(size.get(), integer(0).get(), Py_GT)) {
        Ref mn = stat(np.get(), kMin, arr.get());
        Ref mx = stat(np.get(), kMax, arr.get());
        Ref mean = stat(np.get(), kMean, arr.get());
        Ref sd = stat(np.get(), kStd, arr.get());
        set_item(stats.get(), kMin, mn.get());
        set_item(stats.get(), kMax, mx.get());
        set_item(stats.get(), kMean, mean.get());
        set_item(stats.get(), kStd, sd.get());
    } else {
        Ref zero = real(0.0);
        for (const Name* k : {&kMin, &kMax, &kMean, &kStd}) set_item(stats.get(), *k, zero.get());
    }

    Ref shape_attr = attr(arr.get(), kShape);
    Ref shape = new_ref(PySequence_List(shape_attr.get()));
    Ref dtype_attr = attr(arr.get(), kDtype);
    Ref dtype = new_ref(PyObject_Str(dtype_attr.get()));
    Ref data = array_data(arr.get());
    Ref count = attr(arr.get(), kSize);
    Ref count_int = new_ref(PyNumber_Long(count.get()));

    Ref result = new_dict();
    set_item(result.get(), kShape, shape.get());
    set_item(result.get(), kDtype, dtype.get());
    set_item(result.get(), kData, data.get());
    set_item(result.get(), kStats, stats.get());
    set_item(result.get(), kSize, count_int.get());
    return result;
}

// --- encode_array ---------------------------------------------------------

constexpr const char kEncodeArrayDoc[] =
    "Encode an array as a JSON-ready record of its bytes and statistics.\n\n"
    "Args:\n"
    "    arr: anything numpy.ascontiguousarray accepts; non-contiguous arrays are\n"
    "        copied to row-major order first.\n\n"
    "Returns:\n"
    "    {'shape': list, 'dtype': str, 'data': base64 of the raw row-major bytes,\n"
    "     'stats': {'min', 'max', 'mean', 'std'} as floats (0.0 when empty), 'size': int}\n\n"
    "Raises:\n"
    "    Whatever NumPy raises converting the input or reducing it (for example\n"
    "    string or structured arrays).";

Ref encode_array(Call& c) { return encode_array_of(c, c[0]); }

// --- encode_value ---------------------------------------------------------

constexpr const char kEncodeValueDoc[] =
    "Convert a value to a JSON-ready form.\n\n"
    "Arrays become encoded arrays (see encode_array), NumPy integer and floating\n"
    "scalars become int and float, NumPy bools become bool, dicts (and subclasses)\n"
    "become new dicts with the same keys, lists and tuples become lists, bytes are\n"
    "decoded as UTF-8 with replacement. Anything else is returned unchanged.\n\n"
    "Args:\n"
    "    value: any object.\n\n"
    "Returns:\n"
    "    The converted value (a new object for converted kinds, else value itself).\n\n"
    "Raises:\n"
    "    RecursionError for a container that contains itself; errors of\n"
    "    encode_array, item() or iteration propagate.";

Ref encode_value_of(Call& c, PyObject* value);

// Nested values go through the module-level encode_value, as rebound by the
// caller if it was; our own function is entered directly.
Ref encode_nested(Call& c, PyObject* value) {
    Ref fn = c.global(kEncodeValue);
    if (fn.get() == c.record().self) return encode_value_of(c, value);
    return call(fn.get(), value);
}

Ref encode_value_of(Call& c, PyObject* value) {
    Ref np = c.global(kNp);
    Ref ndarray = attr(np.get(), kNdarray);
    if (check(PyObject_IsInstance(value, ndarray.get()))) {
        Ref fn = c.global(kEncodeArray);
        return call(fn.get(), value);
    }
    Ref integer_t = attr(np.get(), kInteger);
    Ref floating_t = attr(np.get(), kFloating);
    if (check(PyObject_IsInstance(value, integer_t.get())) || check(PyObject_IsInstance(value, floating_t.get())))
        return call_method(value, kItem);
    Ref bool_t = attr(np.get(), kBool_);
    if (check(PyObject_IsInstance(value, bool_t.get()))) return boolean(truthy(value));

    if (PyDict_Check(value)) {
        Depth depth(" while encoding a value");
        Ref items = PyDict_CheckExact(value) ? new_ref(PyDict_Items(value)) : call_method(value, kItems);
        Ref it = new_ref(PyObject_GetIter(items.get()));
        Ref result = new_dict();
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            Ref kv[2];
            unpack(pair.get(), kv, 2);
            Ref encoded = encode_nested(c, kv[1].get());
            check(PyDict_SetItem(result.get(), kv[0].get(), encoded.get()));
        }
        throw_if_error();
        return result;
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        Depth depth(" while encoding a value");
        Ref result = new_list();
        Ref it = new_ref(PyObject_GetIter(value));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            Ref encoded = encode_nested(c, item.get());
            append(result.get(), encoded.get());
        }
        throw_if_error();
        return result;
    }
    if (PyBytes_CheckExact(value))
        return new_ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "replace"));
    if (PyBytes_Check(value)) {  // a subclass may bring its own decode
        Ref decode = attr(value, kDecode);
        Ref utf8 = str("utf-8"), replace = str("replace");
        return call_kw(decode.get(), {utf8.get()}, {{&kErrors, replace.get()}});
    }
    return Ref::borrow(value);
}

Ref encode_value(Call& c) { return encode_value_of(c, c[0]); }

// --- decode_array ---------------------------------------------------------

constexpr const char kDecodeArrayDoc[] =
    "Rebuild the array of an encoded array record.\n\n"
    "Args:\n"
    "    encoded: a plain dict with 'data', 'dtype' and 'shape' (as made by\n"
    "        encode_array); 'stats' and 'size' are not read.\n\n"
    "Returns:\n"
    "    A read-only array over the decoded bytes, with that dtype and shape.\n\n"
    "Raises:\n"
    "    KeyError for a missing key; binascii.Error for bad base64 padding;\n"
    "    TypeError or ValueError from NumPy for a bad dtype or shape.";

Ref item_of(PyObject* dict, const Name& key) {
    PyObject* v = PyDict_GetItemWithError(dict, key.get());
    if (!v) {
        throw_if_error();
        PyErr_SetObject(PyExc_KeyError, key.get());
        throw PythonError{};
    }
    return Ref::borrow(v);
}

Ref decode_array(Call& c) {
    PyObject* encoded = c[0];
    Ref b64 = c.global(kBase64);
    Ref decode = attr(b64.get(), kB64decode);
    Ref text = item_of(encoded, kData);
    Ref data = call(decode.get(), text.get());
    Ref np = c.global(kNp);
    Ref frombuffer = attr(np.get(), kFrombuffer);
    Ref dtype = item_of(encoded, kDtype);
    Ref arr = call_kw(frombuffer.get(), {data.get()}, {{&kDtype, dtype.get()}});
    Ref shape = item_of(encoded, kShape);
    return call_method(arr.get(), kReshape, shape.get());
}

// --- format_shape ---------------------------------------------------------

constexpr const char kFormatShapeDoc[] =
    "Format a tensor shape for display, e.g. [3, 32, 32].\n\n"
    "Args:\n"
    "    shape: any iterable of numbers (a list, tuple or NumPy array); each\n"
    "        item goes through int().\n\n"
    "Returns:\n"
    "    '[' + the integers joined with ', ' + ']'.\n\n"
    "Raises:\n"
    "    TypeError for a non-iterable; TypeError or ValueError from int().";

Ref format_shape(Call& c) {
    Ref shape = c.take(0);
    Ref np = c.global(kNp);
    Ref ndarray = attr(np.get(), kNdarray);
    if (check(PyObject_IsInstance(shape.get(), ndarray.get()))) shape = call_method(shape.get(), kTolist);
    Ref parts = new_list();
    Ref it = new_ref(PyObject_GetIter(shape.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref as_int = new_ref(PyNumber_Long(item.get()));
        Ref text = new_ref(PyObject_Str(as_int.get()));
        append(parts.get(), text.get());
    }
    throw_if_error();
    Ref sep = str(", ");
    Ref joined = new_ref(PyUnicode_Join(sep.get(), parts.get()));
    return new_ref(PyUnicode_FromFormat("[%U]", joined.get()));
}

// --- format_size ----------------------------------------------------------

constexpr const char kFormatSizeDoc[] =
    "Format a byte count with a binary unit: B, KB, MB or GB.\n\n"
    "Below 1024 the count is printed as is ('512 B'); below 1024**2 in KB and\n"
    "below 1024**3 in MB with one decimal ('1.5 KB'); anything larger in GB\n"
    "with two decimals ('1.50 GB').\n\n"
    "Args:\n"
    "    size: the byte count; other numbers are truncated with int().\n\n"
    "Returns:\n"
    "    The display text.\n\n"
    "Raises:\n"
    "    TypeError when size is not a number.";

Ref scaled(PyObject* size, long long unit, int decimals, const char* suffix) {
    Ref divisor = integer(unit);
    Ref q = new_ref(PyNumber_TrueDivide(size, divisor.get()));
    double v = PyFloat_AsDouble(q.get());
    throw_if_error();
    char* text = PyOS_double_to_string(v, 'f', decimals, 0, nullptr);
    if (!text) throw PythonError{};
    Ref result = Ref::steal(PyUnicode_FromFormat("%s %s", text, suffix));
    PyMem_Free(text);
    if (!result) throw PythonError{};
    return result;
}

bool less_than(PyObject* size, long long bound) { return compare(size, integer(bound).get(), Py_LT); }

Ref format_size(Call& c) {
    PyObject* size = c[0];
    if (less_than(size, 1024)) return new_ref(PyUnicode_FromFormat("%S B", size));
    if (less_than(size, 1048576)) return scaled(size, 1024, 1, "KB");
    if (less_than(size, 1073741824)) return scaled(size, 1048576, 1, "MB");
    return scaled(size, 1073741824, 2, "GB");
}

// --- module ---------------------------------------------------------------

void body(Module& m) {
    m.import_as("base64", "base64");
    m.import_from("typing", {"Any", "Dict", "Union"});
    m.import_as("numpy", "np");
}

const Def kDefs[] = {
    NIVRA_DEF("encode_array(arr: np.ndarray) -> Dict[str, Any]", encode_array, kEncodeArrayDoc),
    NIVRA_DEF("encode_value(value: Any) -> Any", encode_value, kEncodeValueDoc),
    NIVRA_DEF("decode_array(dict encoded: Dict[str, Any]) -> np.ndarray", decode_array, kDecodeArrayDoc),
    NIVRA_DEF("format_shape(shape: Union[list, tuple, np.ndarray]) -> str", format_shape, kFormatShapeDoc),
    NIVRA_DEF("format_size(int size: int) -> str", format_size, kFormatSizeDoc),
};

constexpr const char kModuleDoc[] =
    "Array encoding utilities for nivra.viz.\n\n"
    "Turns NumPy arrays into compact JSON-ready records (shape, dtype, base64 of the\n"
    "raw bytes, min/max/mean/std, size) so a page can show statistics without\n"
    "decoding and decode the payload when it needs the numbers; converts nested\n"
    "values holding arrays and NumPy scalars; formats shapes and byte sizes.";

}  // namespace

NIVRA_MODULE(encode, kModuleDoc, body, kDefs)
