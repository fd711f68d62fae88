// SPDX-License-Identifier: Apache-2.0
// Transponder, Scan, ScanResult and Contact, with the contact record codec.

#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "Bindings.hpp"
#include "Enums.hpp"
#include "orvex/Contact.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/Scan.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/Transponder.hpp"

namespace orvex::python {

namespace {

constexpr std::size_t kContactRecordSize = 24;

constexpr std::size_t kPackedScanSize = 9;

// Any bytes-like object (bytes, bytearray, memoryview, a list of byte values); anything
// else raises TypeError.
std::vector<std::uint8_t> bytesOf(const py::object& data) {
    if (PyUnicode_Check(data.ptr())) throw py::type_error("expected bytes, got str");
    const auto bytes = py::reinterpret_steal<py::object>(PyBytes_FromObject(data.ptr()));
    if (!bytes) throw py::error_already_set();
    const std::string text = py::reinterpret_borrow<py::bytes>(bytes);
    return {text.begin(), text.end()};
}

py::bytes toBytes(const std::vector<std::uint8_t>& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

std::string reprText(const std::string& text) {
    return py::repr(py::str(text)).cast<std::string>();
}

template <class T>
bool samePointee(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b);

bool equal(const Transponder& a, const Transponder& b) {
    return a.id == b.id && a.type == b.type;
}
bool equal(const Contact& a, const Contact& b) {
    return a.phone == b.phone && a.name == b.name;
}
bool equal(const Scan& a, const Scan& b) {
    return a.date == b.date && samePointee(a.xpdr, b.xpdr);
}
bool equal(const ScanResult& a, const ScanResult& b) {
    return samePointee(a.scan, b.scan) && samePointee(a.contact, b.contact);
}

template <class T>
bool samePointee(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    if (!a || !b) return !a && !b;
    return equal(*a, *b);
}

std::string repr(const Transponder& t) {
    return "Transponder(id=" + reprText(t.id) + ", type=" + std::to_string(t.type) +
           ", type_name=" + reprText(t.typename_()) + ")";
}
std::string repr(const Contact& c) {
    return "Contact(phone=" + reprText(c.phone) + ", name=" + reprText(c.name) + ")";
}
std::string repr(const Scan& s) {
    return "Scan(xpdr=" + (s.xpdr ? repr(*s.xpdr) : std::string("None")) +
           ", date=" + py::repr(py::float_(s.date)).cast<std::string>() + ")";
}
std::string repr(const ScanResult& r) {
    return "ScanResult(scan=" + (r.scan ? repr(*r.scan) : std::string("None")) +
           ", contact=" + (r.contact ? repr(*r.contact) : std::string("None")) + ")";
}

// Records are values in Python: equal by content, hashed by content, and read-only.
template <class T, class... Options>
void addValueProtocol(py::class_<T, Options...>& cls) {
    cls.def("__eq__", [](const T& a, py::object b) -> py::object {
        if (!py::isinstance<T>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(equal(a, b.cast<const T&>()));
    });
    cls.def("__hash__", [](const T& self) { return py::hash(py::str(repr(self))); });
    cls.def("__repr__", [](const T& self) { return repr(self); });
}

}  // namespace

void bindRecords(py::module_& m) {
    py::class_<Transponder, std::shared_ptr<Transponder>> transponder(
        m, "Transponder", "One identified tag: its identifier text and the raw value of its type.");
    transponder
        .def(py::init([](std::string id, std::int8_t type) {
                 auto t = std::make_shared<Transponder>();
                 t->id = std::move(id);
                 t->type = type;
                 return t;
             }),
             py::arg("id"), py::arg("type") = 0,
             "A transponder with this identifier (\"999 000000012345\") and raw type (0 to 6).")
        .def_property_readonly("id", [](const Transponder& t) { return t.id; },
                               "The identifier text, such as \"999 000000012345\".")
        .def_property_readonly("type", [](const Transponder& t) { return t.type; },
                               "The raw type value (see TransponderType; 4 is FDX-B).")
        .def_property_readonly("type_name", &Transponder::typename_,
                               "The display name of the type (\"FDXB\"; \"UNKNOWN\" outside 1 to 6).")
        .def("__str__", &Transponder::str, "\"FDXB: 999 000000012345\"");
    addValueProtocol(transponder);

    py::class_<Contact, std::shared_ptr<Contact>> contact(
        m, "Contact",
        "An owner contact as stored on an FDX-B tag: a telephone text and an e-mail text.");
    contact
        .def(py::init([](std::string phone, std::string name) {
                 auto c = std::make_shared<Contact>();
                 c->phone = std::move(phone);
                 c->name = std::move(name);
                 return c;
             }),
             py::arg("phone"), py::arg("name"))
        .def_property_readonly("phone", [](const Contact& c) { return c.phone; },
                               "The telephone text: optional \"+\" then 12 digits or spaces.")
        .def_property_readonly("name", [](const Contact& c) { return c.name; },
                               "The e-mail text, 25 characters padded with spaces.")
        .def_property_readonly("email", [](const Contact& c) { return c.name; },
                               "The same text as `name` (the record's e-mail field).")
        .def_static(
            "encode",
            [](const std::string& phone, const std::string& email) {
                return toBytes(Contact::encode(phone, email));
            },
            py::arg("phone"), py::arg("email"),
            "Packs a telephone text and an e-mail text into the 24-byte record stored on a tag.\n\n"
            "Texts are cut or padded with spaces to their field widths (13 and 25).")
        .def_static(
            "decode",
            [](const py::object& data) -> std::shared_ptr<Contact> {
                auto record = bytesOf(data);
                if (record.size() < kContactRecordSize) {
                    throw py::value_error("a contact record has 24 bytes, got " +
                                          std::to_string(record.size()));
                }
                return Contact::decode(record);
            },
            py::arg("data"),
            "Unpacks a 24-byte record (bytes after the 24th are ignored).\n\n"
            "Returns None when the record fails its checksum; raises ValueError when `data` is\n"
            "shorter than 24 bytes.");
    addValueProtocol(contact);

    py::class_<Scan, std::shared_ptr<Scan>> scan(
        m, "Scan", "One reading: the transponder read and when it was decoded.");
    scan.def(py::init([](std::shared_ptr<Transponder> xpdr, double date) {
                 auto s = std::make_shared<Scan>();
                 s->xpdr = std::move(xpdr);
                 s->date = date;
                 return s;
             }),
             py::arg("xpdr"), py::arg("date") = 0.0)
        .def_property_readonly("xpdr", [](const Scan& s) { return s.xpdr; },
                               "The transponder read (None when the record held none).")
        .def_property_readonly("date", [](const Scan& s) { return s.date; },
                               "Seconds since the Unix epoch (the simulated clock's on the simulator).");
    addValueProtocol(scan);

    py::class_<ScanResult> result(m, "ScanResult",
                                  "A reading together with the owner contact read from the tag.");
    result
        .def(py::init([](std::shared_ptr<Scan> s, std::shared_ptr<Contact> c) {
                 return ScanResult{std::move(s), std::move(c)};
             }),
             py::arg("scan"), py::arg("contact") = nullptr)
        .def_property_readonly("scan", [](const ScanResult& r) { return r.scan; }, "The reading.")
        .def_property_readonly("contact", [](const ScanResult& r) { return r.contact; },
                               "The owner contact stored on the tag, or None.")
        .def_static(
            "from_packed",
            [](const py::object& data) {
                const auto record = bytesOf(data);
                if (record.size() < kPackedScanSize) {
                    throw py::value_error("a packed scan record has 9 bytes, got " +
                                          std::to_string(record.size()));
                }
                return ReaderInterface::handleReceivedScan(record);
            },
            py::arg("data"),
            "Decodes one 9-byte packed scan record (lead byte, type, country, national number);\n"
            "raises ValueError when `data` is shorter.");
    addValueProtocol(result);
}

}  // namespace orvex::python
