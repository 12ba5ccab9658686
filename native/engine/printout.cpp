// A printed result's text: the head line, the statistics table and the
// conventions, written in one call from the figures the front end asks of
// printed_figures. The digits are those Python's format() writes: both print
// the exact binary value correctly rounded.
#include "calendar.hpp"

#include "common/run_args.hpp"
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace vostra::engine {

namespace {

// One figure as the printout shows it, as Python's format() writes it with
// the row's format: ".2%" (times 100, two decimals, a per cent sign), "d"
// (the number cut toward zero to a whole one), ".4f", ".3f" or ".2f". Both print
// the exact binary value correctly rounded, so the digits are the same.
void put_figure(std::string &line, double v, char kind) {
    char text[400];  // the longest double printed in full with two decimals takes about 330
    int length;
    if (!std::isfinite(v)) {
        length = std::snprintf(text, sizeof text, "-");
    } else if (kind == '%') {
        length = std::snprintf(text, sizeof text, "%.2f%%", v * 100);
    } else if (kind == 'd') {
        double whole = std::trunc(v);
        length = std::snprintf(text, sizeof text, "%.0f", whole == 0 ? 0.0 : whole);
    } else {
        length = std::snprintf(text, sizeof text, kind == '4' ? "%.4f" : kind == '3' ? "%.3f" : "%.2f", v);
    }
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) raise(PyExc_ValueError, "figure_table() cannot print a figure");
    if (length < 10) line.append(static_cast<std::size_t>(10 - length), ' ');
    line.append(text, static_cast<std::size_t>(length));
}

// A day's date as date.isoformat() writes it.
void put_day(std::string &out, std::int64_t day) {
    Civil c = civil_from_days(day);
    char text[32];
    int length = std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(c.year), c.month, c.day);
    out.append(text, static_cast<std::size_t>(length));
}

// A number as format(x, "g") writes it (C's %g: six significant digits, the
// same switch to an exponent of at least two digits, no trailing zeros).
void put_g(std::string &out, double x) {
    char text[64];
    int length = std::snprintf(text, sizeof text, "%g", x);
    out.append(text, static_cast<std::size_t>(length));
}

std::string_view utf8(PyObject *text) {
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw_py();
    return {data, static_cast<std::size_t>(size)};
}

// The statistics table of figure_table into `out`.
void put_table(std::string &out, const View1<double> &values, PyObject *layout) {
    if (!PyTuple_Check(layout)) raise(PyExc_TypeError, "figure_table() needs the layout as a tuple of rows");
    for (Py_ssize_t r = 0; r < PyTuple_GET_SIZE(layout); ++r) {
        PyObject *row = PyTuple_GET_ITEM(layout, r);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 4)
            raise(PyExc_TypeError, "figure_table() needs rows of (position, label, format, blank)");
        Py_ssize_t at = PyLong_AsSsize_t(PyTuple_GET_ITEM(row, 0));
        throw_if_error();
        at = numpy_index(at, values.size, 0);
        std::string_view label = utf8(PyTuple_GET_ITEM(row, 1)), f = utf8(PyTuple_GET_ITEM(row, 2));
        char kind = f == ".2%" ? '%' : f == "d" ? 'd' : f == ".4f" ? '4' : f == ".3f" ? '3' : f == ".2f" ? '2' : 0;
        if (!kind) raisef(PyExc_ValueError, "figure_table() has no format %s", std::string(f).c_str());
        int blank = PyObject_IsTrue(PyTuple_GET_ITEM(row, 3));
        if (blank < 0) throw_py();
        if (r) out.push_back('\n');
        if (blank) out.push_back('\n');
        out.append(label);
        put_figure(out, values[at], kind);
    }
}

// The head line: the curve's first and last day, its bars and the trades.
void put_head(std::string &out, const View1<std::int64_t> &dates, long long trades) {
    if (dates.size) {
        out.append("Backtest ");
        put_day(out, floor_div(dates[0], day_ns));
        out.append(" .. ");
        put_day(out, floor_div(dates[dates.size - 1], day_ns));
        char text[64];
        int length = std::snprintf(text, sizeof text, ", %zd bars, %lld trades", dates.size, trades);
        out.append(text, static_cast<std::size_t>(length));
    } else {
        out.append("Backtest (empty)");
    }
    out.push_back('\n');
}

// The lines of the conventions from (periods_per_year, frequency, risk_free,
// fee, tax): the annualisation, the risk-free rate, and the costs when both
// are given.
void put_conventions(std::string &out, PyObject *const *args) {
    double ppy = PyFloat_AsDouble(args[0]), rate = PyFloat_AsDouble(args[2]);
    throw_if_error();
    out.append("\nAnnualised with ");
    put_g(out, ppy);
    out.append(" periods a year (");
    out.append(utf8(args[1]));
    out.append("); ");
    if (rate != 0) {
        out.append("risk-free rate ");
        put_g(out, rate * 100);
        out.append("% a year");
    } else {
        out.append("no risk-free rate");
    }
    if (args[3] == Py_None || args[4] == Py_None) return;
    double fee = PyFloat_AsDouble(args[3]), tax = PyFloat_AsDouble(args[4]);
    throw_if_error();
    out.append("\nCosts: fee ");
    put_g(out, fee * 100);
    out.append("% on every trade, tax ");
    put_g(out, tax * 100);
    out.append("% in addition on sales");
}

View1<double> figure_values(PyObject *values) {
    if (!PyArray_Check(values)) raise(PyExc_TypeError, "figure_table() needs the figures as a NumPy array");
    check_array(values, Elem::f64, 1);
    return view1<double>(values);
}

}  // namespace

// figure_table(values, layout, /): the statistics table of a printout, its
// rows joined by newlines: per row of `layout`, a tuple (position in `values`,
// padded label, format ".2%", "d", ".3f" or ".2f", blank line before), the
// label and the figure right-aligned in ten characters ("-" for no value).
PyObject *py_figure_table(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return firewall("vostra._engine.figure_table", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (nargs != 2) raisef(PyExc_TypeError, "figure_table() takes 2 arguments (%zd given)", nargs);
        View1<double> values = figure_values(args[0]);
        std::string out;
        put_table(out, values, args[1]);
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
    });
}

// printout(values, layout, dates, trades, anchor, window_start, window_rule, periods_per_year,
// frequency, risk_free, fee, tax, /): a printed result's text but its account line: the head
// (first and last day of `dates`, the int64 wall-clock nanoseconds of the curve's dates, their
// number and `trades`), the table of figure_table and the lines of the conventions. None when
// the window's first return bar or its anchor (positions in `dates`; no window when the first
// is None) is not at midnight: the caller writes those dates itself.
PyObject *py_printout(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return firewall("vostra._engine.printout", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (nargs != 12) raisef(PyExc_TypeError, "printout() takes 12 arguments (%zd given)", nargs);
        View1<double> values = figure_values(args[0]);
        if (!PyArray_Check(args[2])) raise(PyExc_TypeError, "printout() needs the dates as a NumPy array");
        check_array(args[2], Elem::i64, 1);
        View1<std::int64_t> dates = view1<std::int64_t>(args[2]);
        long long trades = PyLong_AsLongLong(args[3]);
        throw_if_error();
        // The window (shown when it has a first return bar): that bar, then its anchor.
        Py_ssize_t window[2] = {-1, -1};
        for (int k = 0; k < 2 && args[5] != Py_None; ++k) {
            PyObject *at = args[k == 0 ? 5 : 4];
            if (at == Py_None) raise(PyExc_ValueError, "printout() needs the anchor of a window");
            Py_ssize_t position = PyLong_AsSsize_t(at);
            throw_if_error();
            window[k] = numpy_index(position, dates.size, 0);
            if (dates[window[k]] % day_ns != 0) Py_RETURN_NONE;  // not a midnight: written from its Timestamp
        }
        std::string out;
        out.reserve(2048);
        put_head(out, dates, trades);
        put_table(out, values, args[1]);
        if (window[0] >= 0) {
            out.append("\nWindow: from the ");
            out.append(utf8(args[6]));
            out.append(", ");
            put_day(out, floor_div(dates[window[0]], day_ns));
            out.append(" (returns from the close of ");
            put_day(out, floor_div(dates[window[1]], day_ns));
            out.push_back(')');
        }
        put_conventions(out, args + 7);
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
    });
}

}  // namespace vostra::engine
