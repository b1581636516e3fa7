// viz/spikes/fields.cpp: the event fields and the sensor size, and reading record
// memory directly (the small helpers the other files share live here too).
#include "spikes.h"

#include <bit>

namespace nivra::spikes {

// --- small helpers ----------------------------------------------------------

// A new tuple of borrowed items; raises on error.
Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = new_ref(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    return t;
}

// len(obj); raises on error.
Py_ssize_t length(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) throw PythonError{};
    return n;
}

// np.zeros(shape, dtype=np.<dtype>); raises on error.
Ref np_zeros(PyObject* np, PyObject* shape, const Name& dtype) {
    Ref zeros = attr(np, kZeros);
    Ref dt = attr(np, dtype);
    return call_kw(zeros.get(), {shape}, {{&kDtype, dt.get()}});
}

// The value of an object that is exactly an int and fits in 64 bits, or false.
bool exact_int64(PyObject* v, long long* out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow) return false;
    *out = value;
    return true;
}

// Unpacks the field tuple of _get_event_fields into four names.
void event_fields(Call& c, PyObject* events, Ref out[4]) {
    Ref fn = c.global(kGetEventFields);
    Ref fields = call(fn.get(), events);
    unpack(fields.get(), out, 4);
}

void binnable_event_fields(Call& c, PyObject* events, Ref out[4]) {
    event_fields(c, events, out);
    if (out[2].get() == Py_None || out[0].get() == Py_None)
        raise(PyExc_ValueError, "Events must have time and x coordinate fields");
}

// Unpacks a sensor size into width and height.
void width_height(PyObject* sensor_size, Ref* width, Ref* height) {
    Ref wh[2];
    unpack(sensor_size, wh, 2);
    *width = std::move(wh[0]);
    *height = std::move(wh[1]);
}

// sensor_size, or _detect_sensor_size(events) when it is None; must be a tuple.
Ref sensor_size_or_detected(Call& c, std::size_t index, PyObject* events) {
    Ref size = c.take(index);
    if (size.get() == Py_None) {
        Ref fn = c.global(kDetectSensorSize);
        size = call(fn.get(), events);
        expect_exact(size.get(), &PyTuple_Type, true);
    }
    return size;
}

// --- reading record arrays directly ----------------------------------------

PyObject* g_ndarray = nullptr;
PyObject* g_memmap = nullptr;
PyObject* g_numpy = nullptr;

bool RecordArray::open(PyObject* events) {
    if (!g_ndarray) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(events));
    if (type != g_ndarray && type != g_memmap) return false;
    if (!buffer_.acquire(events, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& v = buffer_.view();
    if (v.ndim != 1 || !v.strides || !v.shape) return false;
    Ref dtype = attr(events, kDtype);
    fields_ = attr(dtype.get(), kFields);
    if (fields_.get() == Py_None) return false;
    n_ = v.shape[0];
    return true;
}

bool RecordArray::field(PyObject* name, k::Field* out) const {
    if (!PyUnicode_CheckExact(name)) return false;
    Ref entry_ref = Ref::steal(PyObject_GetItem(fields_.get(), name));
    if (!entry_ref) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    PyObject* entry = entry_ref.get();
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) return false;
    PyObject* fdtype = PyTuple_GET_ITEM(entry, 0);
    long long offset = 0, itemsize = 0;
    Ref off = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    if (!exact_int64(off.get(), &offset)) return false;
    Ref sub = attr(fdtype, kSubdtype);
    if (sub.get() != Py_None) return false;
    Ref size = attr(fdtype, kItemsize);
    if (!exact_int64(size.get(), &itemsize)) return false;
    Ref kind = attr(fdtype, kKind);
    Ref order = attr(fdtype, kByteorder);
    const char* kind_text = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : nullptr;
    const char* order_text = PyUnicode_Check(order.get()) ? PyUnicode_AsUTF8(order.get()) : nullptr;
    if (!kind_text || !order_text) {
        throw_if_error();
        return false;
    }
    k::FieldKind fk;
    switch (kind_text[0]) {
        case 'b': fk = k::FieldKind::Bool; break;
        case 'i': fk = k::FieldKind::Int; break;
        case 'u': fk = k::FieldKind::UInt; break;
        case 'f': fk = k::FieldKind::Float; break;
        default: return false;
    }
    if (kind_text[1] != '\0' || !k::field_supported(fk, static_cast<int>(itemsize))) return false;
    const Py_buffer& v = buffer_.view();
    if (offset < 0 || offset + itemsize > v.itemsize) return false;
    out->base = static_cast<const unsigned char*>(v.buf) + offset;
    out->stride = v.strides[0];
    out->kind = fk;
    out->size = static_cast<unsigned char>(itemsize);
    const bool little = std::endian::native == std::endian::little;
    out->swap = (order_text[0] == '>' && little) || (order_text[0] == '<' && !little);
    return true;
}

bool open_columns(const RecordArray& rec, Ref names[4], bool with_p, k::EventColumns* cols) {
    if (names[0].get() == Py_None || names[2].get() == Py_None) return false;
    if (!rec.field(names[0].get(), &cols->x) || !rec.field(names[2].get(), &cols->t)) return false;
    cols->has_y = truthy(names[1].get());
    if (cols->has_y && !rec.field(names[1].get(), &cols->y)) return false;
    cols->has_p = with_p && truthy(names[3].get());
    if (cols->has_p && !rec.field(names[3].get(), &cols->p)) return false;
    return true;
}

void size_pair(PyObject* pair, long long max, const char* message, long long* width, long long* height) {
    Ref size[2];
    unpack(pair, size, 2);
    if (!exact_int64(size[0].get(), width) || !exact_int64(size[1].get(), height) || *width < 0 || *height < 0 ||
        *width > max || *height > max)
        raise(PyExc_ValueError, "%s", message);
}

void open_state_columns(PyObject* events, PyObject* fields, RecordArray& rec, k::EventColumns* cols) {
    Ref names[4];
    unpack(fields, names, 4);
    if (!rec.open(events) || !open_columns(rec, names, true, cols))
        raise(PyExc_TypeError, "events must be a 1-D NumPy record array whose named fields hold plain numbers");
}

// --- _get_event_fields -------------------------------------------------------

const char kGetEventFieldsDoc[] =
    "Find the names of the x, y, time and polarity fields of an event array.\n\n"
    "Each role is matched by fixed candidate names, tried in order and compared\n"
    "exactly: x: 'x', 'channel', 'addr', 'address'; y: 'y', 'row'; time: 't',\n"
    "'ts', 'time', 'timestamp'; polarity: 'p', 'pol', 'polarity', 'on'.\n\n"
    "Args:\n"
    "    events: a structured array (anything with dtype.names).\n\n"
    "Returns:\n"
    "    (x_field, y_field, t_field, p_field), each a name or None.\n\n"
    "Raises:\n"
    "    AttributeError when events has no dtype.names.";

namespace {

// The candidate names of each role, tried in order.
struct Role {
    const char* role;
    std::initializer_list<const char*> names;
};
const Role kRoles[] = {
    {"x", {"x", "channel", "addr", "address"}},
    {"y", {"y", "row"}},
    {"t", {"t", "ts", "time", "timestamp"}},
    {"p", {"p", "pol", "polarity", "on"}},
};

// The first candidate of a role that is a field name, or None.
Ref first_present(PyObject* present, const Role& role) {
    for (const char* name : role.names) {
        Ref s = str(name);
        if (check(PySet_Contains(present, s.get()))) return s;
    }
    return none();
}

}  // namespace

Ref get_event_fields(Call& c) {
    Ref dtype = attr(c[0], kDtype);
    Ref names = attr(dtype.get(), kNames);
    Ref present = new_ref(truthy(names.get()) ? PySet_New(names.get()) : PySet_New(nullptr));
    Ref t = first_present(present.get(), kRoles[2]);
    Ref x = first_present(present.get(), kRoles[0]);
    Ref y = first_present(present.get(), kRoles[1]);
    Ref p = first_present(present.get(), kRoles[3]);
    return tuple_of({x.get(), y.get(), t.get(), p.get()});
}

Ref field_candidates() {
    Ref table = new_dict();
    for (const Role& role : kRoles) {
        Ref names = new_ref(PyTuple_New(static_cast<Py_ssize_t>(role.names.size())));
        Py_ssize_t i = 0;
        for (const char* name : role.names) PyTuple_SET_ITEM(names.get(), i++, str(name).release());
        check(PyDict_SetItemString(table.get(), role.role, names.get()));
    }
    return new_ref(PyDictProxy_New(table.get()));
}

// --- _detect_sensor_size -----------------------------------------------------

namespace {

// int(events[field].max()) + 1 through the array's own max().
Ref extent(PyObject* events, PyObject* field) {
    Ref col = item(events, field);
    Ref mx = call_method(col.get(), kMax);
    Ref as_int = new_ref(PyNumber_Long(mx.get()));
    Ref one = integer(1);
    return new_ref(PyNumber_Add(as_int.get(), one.get()));
}

// The extents of non-empty integer (or bool) coordinate fields, read from the record
// memory in one pass; false when a field is not one.
bool extents_direct(PyObject* events, Ref names[4], Ref* width, Ref* height) {
    RecordArray rec;
    if (!rec.open(events) || rec.size() == 0) return false;
    k::Field fields[2];
    const std::size_t count = names[1].get() != Py_None ? 2 : 1;
    for (std::size_t j = 0; j < count; ++j)
        if (!rec.field(names[j].get(), &fields[j]) || fields[j].kind == k::FieldKind::Float) return false;
    __int128 maxima[2] = {0, 0};
    {
        ReleaseGil nogil(rec.size() >= kReleaseGilEvents);
        k::column_maxima(fields, count, static_cast<std::size_t>(rec.size()), maxima);
    }
    extents_of(maxima, count == 2, width, height);
    return true;
}

}  // namespace

void extents_of(const __int128 maxima[2], bool has_y, Ref* width, Ref* height) {
    // The maxima come from fields of at most 64 bits, signed or not.
    const auto as_int = [](__int128 v) {
        return v < 0 ? integer(static_cast<long long>(v))
                     : new_ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    };
    Ref one = integer(1);
    *width = new_ref(PyNumber_Add(as_int(maxima[0]).get(), one.get()));
    *height = has_y ? new_ref(PyNumber_Add(as_int(maxima[1]).get(), one.get())) : integer(1);
}

const char kDetectSensorSizeDoc[] =
    "Infer the sensor size (width, height) from the largest coordinates.\n\n"
    "width is the largest x plus 1 and height the largest y plus 1 (int()\n"
    "truncates float maxima first); without a y field the height is 1, without an\n"
    "x field the size is (128, 128), and an empty array gives 128 for each\n"
    "coordinate that has a field.\n\n"
    "Args:\n"
    "    events: an event array.\n\n"
    "Returns:\n"
    "    (width, height), two ints.\n\n"
    "Raises:\n"
    "    Errors of _get_event_fields, len(), field indexing, max() or int().";

Ref detect_sensor_size(Call& c) {
    PyObject* events = c[0];
    Ref names[4];
    event_fields(c, events, names);
    if (names[0].get() == Py_None) {
        Ref d = integer(128);
        return tuple_of({d.get(), d.get()});
    }
    Ref width, height;
    if (length(events) > 0 && extents_direct(events, names, &width, &height))
        return tuple_of({width.get(), height.get()});
    width = length(events) > 0 ? extent(events, names[0].get()) : integer(128);
    if (names[1].get() != Py_None)
        height = length(events) > 0 ? extent(events, names[1].get()) : integer(128);
    else
        height = integer(1);
    return tuple_of({width.get(), height.get()});
}

}  // namespace nivra::spikes
