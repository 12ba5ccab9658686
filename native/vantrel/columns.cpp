// Column mapping between the signal and price matrices, and the trading-price
// check that stops a run on unusable price data.
#include "engine.hpp"

#include <string_view>
#include <unordered_map>

namespace vostra::vantrel {

std::map<int, int> ColumnMap::as_map() const {
    std::map<int, int> m;
    for (std::size_t sid = 0; sid < price_of.size(); ++sid)
        if (price_of[sid] >= 0) m.emplace_hint(m.end(), static_cast<int>(sid), price_of[sid]);
    return m;
}

// A label's identity: the UTF-8 encoding of its text. `keep` owns the bytes
// when they come from an `encode` call rather than the str's own cache.
std::string_view encoded(PyObject *label, std::vector<Ref> &keep) {
    if (PyUnicode_Check(label)) {
        Py_ssize_t n;
        const char *s = PyUnicode_AsUTF8AndSize(label, &n);
        if (!s) throw_py();
        return {s, static_cast<std::size_t>(n)};
    }
    Ref b = Ref::check(PyObject_CallMethod(label, "encode", "s", "UTF-8"));
    char *s;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(b.get(), &s, &n) < 0) throw_py();
    keep.push_back(std::move(b));
    return {s, static_cast<std::size_t>(n)};
}

ColumnMap map_columns(PyObject *price_columns, PyObject *pos_columns) {
    return traced("vostra.core.vantrel.map_columns", [&] {
        std::vector<Ref> keep;
        std::unordered_map<std::string_view, int> by_label;
        View1<PyObject *> prices = view1<PyObject *>(price_columns);
        by_label.reserve(static_cast<std::size_t>(prices.size));
        for (Py_ssize_t i = 0; i < prices.size; ++i)
            by_label[encoded(prices[i], keep)] = static_cast<int>(i);  // the last duplicate wins
        View1<PyObject *> signals = view1<PyObject *>(pos_columns);
        ColumnMap map;
        map.price_of.assign(static_cast<std::size_t>(signals.size), -1);
        for (Py_ssize_t i = 0; i < signals.size; ++i) {
            auto it = by_label.find(encoded(signals[i], keep));
            if (it != by_label.end()) map.price_of[i] = it->second;
        }
        return map;
    });
}

void raise_invalid_price(PriceKind kind, double value, PyObject *symbol, Py_ssize_t row) {
    static const char *const names[] = {"trading", "close", "high", "low", "open"};
    static const char *const datasets[] = {"trading-price", "close", "high", "low", "open"};
    int k = static_cast<int>(kind);
    traced(kind == PriceKind::trading ? "vostra.core.vantrel.validate_trade_price" : "vostra.core.vantrel.validate_price",
           [&] {
               Ref text = Ref::check(PyObject_Str(symbol));
               char *repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
               if (!repr) throw_py();
               Ref number = Ref::steal(PyUnicode_FromString(repr));
               PyMem_Free(repr);
               if (!number) throw_py();
               raisef(PyExc_ValueError,
                      "Invalid %s price for %U at price row %zd: %U. Expected a positive finite price; check the "
                      "%s dataset.",
                      names[k], text.get(), row, number.get(), datasets[k]);
           });
    throw py_error{};
}

}  // namespace vostra::vantrel
