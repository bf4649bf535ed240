// Finding the project's models through its call graph.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "models.hpp"

namespace models {
using namespace host;

namespace {
SharedRecords* g_active = nullptr;
}  // namespace

SharedRecords::SharedRecords(Ref fresh) : fresh_(std::move(fresh)), outer_(g_active) { g_active = this; }
SharedRecords::~SharedRecords() { g_active = outer_; }
SharedRecords* SharedRecords::active() { return g_active; }

void SharedRecords::add(Obj record, Obj entry) {
    entries_.try_emplace(record.ptr(), Ref::borrow(record), Ref::borrow(entry));
}

Ref SharedRecords::release(Obj record) {
    if (auto done = released_.find(record.ptr()); done != released_.end()) return done->second;
    Obj entry = entries_.at(record.ptr()).second;
    Ref copy = call(fresh_, record, Obj(PyTuple_GET_ITEM(entry.ptr(), 1)));
    released_.emplace(record.ptr(), copy);
    return copy;
}

void SharedRecords::release_all(Obj d) {
    Ref keys = Ref::steal(PyDict_Keys(d.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        Obj key(PyList_GET_ITEM(keys.ptr(), i));
        Ref value = dict_get(d, key);
        if (value && holds(value)) dict_set(d, key, release(value));
    }
}

void SharedRecords::note_copy(Obj copy, Obj of) {
    auto shared = entries_.find(of.ptr());
    if (shared == entries_.end()) return;
    copies_.insert_or_assign(copy.ptr(), std::pair{Ref::borrow(copy), shared->second.second});
}

Ref SharedRecords::settings(Obj record, Obj dumps) const {
    Obj entry;
    if (auto shared = entries_.find(record.ptr()); shared != entries_.end()) {
        entry = shared->second.second;
    } else if (auto copy = copies_.find(record.ptr()); copy != copies_.end()) {
        entry = copy->second.second;
    } else {
        return {};
    }
    Obj text(PyTuple_GET_ITEM(entry.ptr(), 3));
    if (!PyUnicode_CheckExact(text.ptr()) || !dumps.is(Obj(PyTuple_GET_ITEM(entry.ptr(), 4)))) return {};
    return Ref::borrow(text);
}

namespace {

// The twin of `generate_call_graph` that shares the file cache's records,
// and its `_fresh`, when the function found at call time is the call-graph
// module's own (itself, or the package's lazy proxy for it, already loaded);
// otherwise empty Refs, and the search runs on the function's own copies.
std::pair<Ref, Ref> shared_twin(Obj generate_call_graph) {
    Ref module = imported(T::call_graph_module);
    if (!module) return {};
    Ref twins = getattr_opt(module, S::_SHARED_TWIN);
    if (!twins || !PyTuple_CheckExact(twins.ptr()) || PyTuple_GET_SIZE(twins.ptr()) != 2) return {};
    Obj genuine(PyTuple_GET_ITEM(twins.ptr(), 0));
    if (!generate_call_graph.is(genuine)) {
        Ref target = lazy_target(generate_call_graph, S::LazyAttribute);
        Ref attr = target ? getattr_opt(generate_call_graph, S::_lazy_attr_name) : Ref();
        if (!target || !target.is(module) || !attr || !PyUnicode_CheckExact(attr.ptr()) ||
            !eq(attr, S::generate_call_graph)) {
            return {};
        }
        Ref current = getattr_opt(module, S::generate_call_graph);
        if (!current || !current.is(genuine)) return {};
    }
    Ref fresh = getattr_opt(module, S::_fresh);
    if (!fresh) return {};
    return {Ref::borrow(Obj(PyTuple_GET_ITEM(twins.ptr(), 1))), fresh};
}

// k.split(".")[-1]: the plain name of a dotted function key.  For an exact
// str, the text after its last dot, without the list of parts.
Ref plain_name(Obj key) {
    if (PyUnicode_CheckExact(key.ptr())) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
        const Py_ssize_t dot = PyUnicode_FindChar(key.ptr(), '.', 0, n, -1);
        if (dot == -2) raise();
        if (dot == -1) return Ref::borrow(key);
        return Ref::steal(PyUnicode_Substring(key.ptr(), dot + 1, n));
    }
    return getitem(call_method(key, S::split, T::dot), from_size(-1));
}

// `prefixed.startswith(prefix)`, the plain prefix test (no dot required).
bool starts_with(Obj prefixed, Obj prefix) { return startswith(prefixed, prefix); }

// The function record's "module": record["module"], read in place from an
// exact dict.
Ref module_of(Obj record) {
    if (PyDict_CheckExact(record.ptr())) {
        if (Ref module = dict_get(record, S::module)) return module;
    }
    return getitem(record, S::module);
}

// morvane.core.project_state.resolve when that module is loaded and the
// function is its own; an empty Ref otherwise.
Ref host_resolver() {
    static const Name s_project_state("morvane.core.project_state"), s_resolve("resolve");
    return loaded_own_function(s_project_state, s_resolve);
}

// pathlib's own `Path` class, when pathlib is imported (it is whenever the
// module's `Path` came from it); an empty Ref otherwise.
Ref pathlib_class() {
    static const Name s_pathlib("pathlib");
    Ref pathlib = imported(s_pathlib);
    if (!pathlib) return {};
    Ref cls = getattr_opt(pathlib, S::Path);
    return cls && PyType_Check(cls.ptr()) ? cls : Ref();
}

// What find_models asks of pathlib's paths.  source.is_relative_to(other).
// Fast path: for two paths of exactly
// pathlib's PosixPath with pathlib's own is_relative_to, == and parents,
// the test is `other == source or other in source.parents`, which for
// absolute paths with one leading slash (their text normalised, compared
// case by case) is a test on the text; anything else calls the method.
class PathText {
public:
    PathText() {
        static const Name s_pathlib("pathlib");
        static const Name s_posixpath("posixpath");
        static const Name s_PosixPath("PosixPath");
        static const Name s_parents("parents");
        static const Name s_parser("parser");
        static const Name s_fget("fget");
        static const Name s_eq("__eq__");
        static const Name q_is_relative_to("PurePath.is_relative_to");
        static const Name q_eq("PurePath.__eq__");
        static const Name q_parents("PurePath.parents");
        Ref pathlib = imported(s_pathlib);
        Ref posixpath = imported(s_posixpath);
        Ref cls = pathlib ? getattr_opt(pathlib, s_PosixPath) : Ref();
        if (!posixpath || !cls || !PyType_Check(cls.ptr())) return;
        Ref parents = getattr_opt(cls, s_parents);
        Ref parser = getattr_opt(cls, s_parser);
        if (!parents || !PyObject_TypeCheck(parents.ptr(), &PyProperty_Type) || !parser || !parser.is(posixpath)) return;
        if (!own_function(getattr_opt(cls, S::is_relative_to), pathlib, q_is_relative_to) ||
            !own_function(getattr_opt(cls, s_eq), pathlib, q_eq) ||
            !own_function(getattr_opt(parents, s_fget), pathlib, q_parents)) {
            return;
        }
        posix_path_ = cls;
        static const Name q_relative_to("PurePath.relative_to");
        relative_to_ = own_function(getattr_opt(cls, S::relative_to), pathlib, q_relative_to);
    }

    bool is_relative_to(Obj source, Obj other) const {
        if (!posix_path_ || !is_posix_path(source) || !is_posix_path(other)) {
            return truthy(call_method(source, S::is_relative_to, other));
        }
        Ref s = str(source);
        Ref o = str(other);
        if (!simple_absolute(s) || !simple_absolute(o)) return truthy(call_method(source, S::is_relative_to, other));
        if (eq(s, o)) return true;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(o.ptr());
        if (n == 1) return true;  // "/" is every absolute path's last parent
        if (PyUnicode_GET_LENGTH(s.ptr()) <= n || PyUnicode_ReadChar(s.ptr(), n) != '/') return false;
        const Py_ssize_t match = PyUnicode_Tailmatch(s.ptr(), o.ptr(), 0, n, -1);
        if (match < 0) raise();
        return match == 1;
    }

    // str(source.relative_to(other, walk_up=True)).  Fast path under the same
    // conditions, with pathlib's own relative_to: the common leading
    // components are dropped, each remaining one of `other` becomes "..",
    // and "." stands for no component at all.
    Ref relative_text(Obj source, Obj other) const {
        auto as_method = [&] { return str(call_method(source, S::relative_to, other, kw(S::walk_up, Py_True))); };
        if (!relative_to_ || !is_posix_path(source) || !is_posix_path(other)) return as_method();
        Ref s = str(source);
        Ref o = str(other);
        if (!simple_absolute(s) || !simple_absolute(o)) return as_method();
        std::vector<std::string_view> ss, os;
        if (!components(s, ss) || !components(o, os)) return as_method();
        for (std::string_view part : os) {
            if (part == "..") return as_method();  // pathlib's own error
        }
        std::size_t k = 0;
        while (k < ss.size() && k < os.size() && ss[k] == os[k]) ++k;
        std::string text;
        for (std::size_t i = k; i < os.size(); ++i) text += text.empty() ? ".." : "/..";
        for (std::size_t i = k; i < ss.size(); ++i) {
            if (!text.empty()) text += '/';
            text += ss[i];
        }
        if (text.empty()) text = ".";
        return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    }

private:
    // The components after the leading slash; false for a text that has no
    // UTF-8 form (surrogates from undecodable names), left to pathlib.
    static bool components(Obj text, std::vector<std::string_view>& out) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (data == nullptr) {
            PyErr_Clear();
            return false;
        }
        std::string_view rest(data + 1, static_cast<std::size_t>(size - 1));
        while (!rest.empty()) {
            const std::size_t slash = rest.find('/');
            out.push_back(rest.substr(0, slash));
            if (slash == std::string_view::npos) break;
            rest.remove_prefix(slash + 1);
        }
        return true;
    }
    bool is_posix_path(Obj p) const { return Obj(reinterpret_cast<PyObject*>(p.type())).is(posix_path_); }
    static bool simple_absolute(Obj text) {
        if (!PyUnicode_CheckExact(text.ptr())) return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
        return n >= 1 && PyUnicode_ReadChar(text.ptr(), 0) == '/' && (n == 1 || PyUnicode_ReadChar(text.ptr(), 1) != '/');
    }
    Ref posix_path_;
    bool relative_to_ = false;
};

// _is_model's answers for the call graph's shared records, kept from one
// search to the next.  A shared record is never changed (see SharedRecords),
// so while its "name" and its annotation are exact str its answer is fixed.
// A search keeps its table (the twin's, which nothing changes) and, by
// position, the key, entry and answer it met there; holding the table keeps
// them alive, so an address cannot stand for another object while it is
// known.  The next search of the same table, or of the copy the twin makes
// with a few files' entries replaced, takes the answer of each position
// whose key and entry are the same without reading the record; any other
// record is looked up among the last search's records, then asked.
class ModelTests {
public:
    explicit ModelTests(Obj table) : table_(Ref::borrow(table)) { rows_.reserve(kept().rows.size()); }
    ~ModelTests() {
        // Only a search that asked about every position replaces the last one.
        if (rows_.size() != static_cast<std::size_t>(PyDict_GET_SIZE(table_.ptr()))) return;
        kept().table = std::move(table_);
        kept().rows.swap(rows_);
    }
    ModelTests(const ModelTests&) = delete;
    ModelTests& operator=(const ModelTests&) = delete;

    // The answer the last search found at the next position, when it met
    // this key and entry there; -1 otherwise.
    signed char seen(Obj key, Obj entry) const {
        const auto& before = kept().rows;
        const std::size_t i = rows_.size();
        return i < before.size() && before[i].key == key.ptr() && before[i].entry == entry.ptr() ? before[i].answer
                                                                                                : -1;
    }

    // The answer for the record of `entry` (its first item) under `key`, at
    // the next position of the table.  A position the last search met reads
    // nothing but the two addresses.
    bool is_model(Obj key, Obj entry) {
        const auto& before = kept().rows;
        const std::size_t i = rows_.size();
        signed char answer = -1;
        Obj record;
        if (i < before.size() && before[i].key == key.ptr() && before[i].entry == entry.ptr()) {
            answer = before[i].answer;
        } else if (i >= before.size() || before[i].key != key.ptr()) {
            // Moved, or new: perhaps a record the last search met elsewhere.
            // (A new entry under the same key at the same place is a file
            // read again: its record is new.)
            record = Obj(PyTuple_GET_ITEM(entry.ptr(), 0));
            if (const signed char* known = earlier(record)) answer = *known;
        }
        bool result;
        if (answer >= 0) {
            result = answer == 1;
        } else {
            if (!record) record = Obj(PyTuple_GET_ITEM(entry.ptr(), 0));
            result = models::is_model(record);
            answer = fixed(record) ? static_cast<signed char>(result) : -1;
        }
        rows_.push_back({key.ptr(), entry.ptr(), answer});
        return result;
    }

    // The twin's result checked for the shape it promises: an exact dict of
    // function key -> (record dict, mutable, key, text, dumps), and the
    // modules.  An entry the last search met at the same place under the
    // same key was checked then (a tuple's items stay as they are).
    static bool twin_result_ok(Obj result) {
        if (!PyTuple_CheckExact(result.ptr()) || PyTuple_GET_SIZE(result.ptr()) != 2) return false;
        Obj entries(PyTuple_GET_ITEM(result.ptr(), 0));
        if (!PyDict_CheckExact(entries.ptr())) return false;
        const auto& before = kept().rows;
        PyObject* key = nullptr;
        PyObject* entry = nullptr;
        Py_ssize_t pos = 0;
        for (std::size_t i = 0; PyDict_Next(entries.ptr(), &pos, &key, &entry); ++i) {
            if (i < before.size() && before[i].key == key && before[i].entry == entry) continue;
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 5 ||
                !PyDict_CheckExact(PyTuple_GET_ITEM(entry, 0))) {
                return false;
            }
        }
        return true;
    }

private:
    struct Row {
        PyObject* key;
        PyObject* entry;
        signed char answer;  // 1, 0, or -1: not fixed, asked again
    };
    struct Kept {
        Ref table;
        std::vector<Row> rows;
    };
    // Never destroyed: its references must not be released after the
    // interpreter has finished.
    static Kept& kept() {
        static Kept* state = new Kept;
        return *state;
    }
    // The last search's answer for `record`, found by the record (built on
    // the first position that differs).
    const signed char* earlier(Obj record) {
        if (!index_built_) {
            index_built_ = true;
            for (const Row& row : kept().rows) {
                if (row.answer >= 0) index_.try_emplace(PyTuple_GET_ITEM(row.entry, 0), row.answer);
            }
        }
        auto found = index_.find(record.ptr());
        return found == index_.end() ? nullptr : &found->second;
    }
    static bool fixed(Obj record) {
        PyObject* name = PyDict_GetItemWithError(record.ptr(), S::name.ptr());
        PyObject* annot = name ? PyDict_GetItemWithError(record.ptr(), S::resolved_return_annotation.ptr()) : nullptr;
        if (PyErr_Occurred()) raise();
        return name && annot && PyUnicode_CheckExact(name) && PyUnicode_CheckExact(annot);
    }
    Ref table_;
    std::vector<Row> rows_;
    std::unordered_map<PyObject*, signed char> index_;
    bool index_built_ = false;
};

Ref find_models(Frame& f) {
    Ref pdk = call(f.global(S::get_pdk));

    // An empty mapping counts as none given.
    Ref lib_paths = Ref::borrow(f[0]);
    if (!f.truth(0)) lib_paths = call_method(f.global(S::ccg), S::default_lib_paths);
    expect_exact(lib_paths, &PyDict_Type, true);

    // The call graph is given the library paths as resolved text.
    Ref generate_call_graph = f.global(S::generate_call_graph);
    Ref resolved = new_dict();
    for_items(lib_paths, [&](Obj k, Obj v) { dict_set(resolved, k, str(call_method(v, S::resolve))); });

    // Fast path: while `generate_call_graph` is the call-graph module's own,
    // its twin gives the same records without copying them: the file cache's
    // records, each with its function key and the JSON text of its defaults,
    // made once per file content. They are read here and by this module's
    // own functions only; anything else is given fresh copies (see
    // SharedRecords), so every collaborator sees what it sees without the
    // fast path.
    auto [twin, fresh] = shared_twin(generate_call_graph);
    Ref twin_result = twin ? call(twin, kw(S::lib_paths, resolved)) : Ref();
    if (twin_result && !ModelTests::twin_result_ok(twin_result)) twin_result = Ref();
    std::optional<SharedRecords> cache;
    Ref all_functions, all_modules;
    if (twin_result) {
        cache.emplace(fresh);
        all_functions = Ref::borrow(Obj(PyTuple_GET_ITEM(twin_result.ptr(), 0)));
        all_modules = Ref::borrow(Obj(PyTuple_GET_ITEM(twin_result.ptr(), 1)));
    } else {
        Ref call_graph = call(generate_call_graph, kw(S::lib_paths, resolved));
        all_functions = getitem(call_graph, S::functions);
        all_modules = getitem(call_graph, S::modules);
    }

    Ref model_functions = new_dict();
    if (cache) {
        ModelTests tests(all_functions);
        PyObject* key = nullptr;
        PyObject* entry = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(all_functions.ptr(), &pos, &key, &entry)) {
            Ref is_model = f.global(S::_is_model);
            if (is_native(is_model, _is_model_sig)) {
                // Fast path: this module's own _is_model, its body asked
                // directly (see ModelTests); only the models are kept for
                // the steps below, which read no other record.
                // A place the last search found no model at reads nothing
                // but two addresses; any other may run a record's code, and
                // holds its key and entry while it does.
                if (tests.seen(key, entry) == 0) {
                    tests.is_model(key, entry);
                    continue;
                }
                Ref k = Ref::borrow(Obj(key));
                Ref e = Ref::borrow(Obj(entry));
                if (tests.is_model(k, e)) {
                    Obj v(PyTuple_GET_ITEM(e.ptr(), 0));
                    cache->add(v, e);
                    dict_set(model_functions, k, v);
                }
                continue;
            }
            Ref k = Ref::borrow(Obj(key));
            Ref e = Ref::borrow(Obj(entry));
            Ref v = Ref::borrow(Obj(PyTuple_GET_ITEM(entry, 0)));
            cache->add(v, e);
            v = cache->release(v);
            if (truthy(call(is_model, v))) dict_set(model_functions, k, v);
        }
    } else {
        for_items(all_functions, [&](Obj k, Obj v) {
            Ref is_model = f.global(S::_is_model);
            // Fast path: this module's own _is_model is its body, asked
            // without a call; the body checks the record as its signature
            // would (an exact dict).
            const bool own = is_native(is_model, _is_model_sig) && PyDict_CheckExact(v.ptr());
            const bool model = own ? as_called(is_model, [&] { return models::is_model(v); }) : truthy(call(is_model, v));
            if (model) dict_set(model_functions, k, v);
        });
    }

    // The project's anchor module: the first whose name starts with the
    // project name.  The project name is asked anew for every module examined.
    Ref here;
    for (Ref name : iterate(all_modules)) {
        bool found;
        if (PyUnicode_CheckExact(name.ptr())) {
            // Nothing can tell when a str's own method was looked up.
            found = starts_with(name, call(f.global(S::get_project_name)));
        } else {
            Ref startswith = getattr(name, S::startswith);
            found = truthy(call(startswith, call(f.global(S::get_project_name))));
        }
        if (found) {
            here = name;
            break;
        }
    }
    if (!here) return new_dict();

    // Split by origin ...
    Ref here_by_key = new_dict();
    Ref there_by_key = new_dict();
    for_items(model_functions, [&](Obj k, Obj v) {
        dict_set(starts_with(module_of(v), here) ? here_by_key : there_by_key, k, v);
    });
    // ... and re-key both by plain name; a later entry of the same name
    // replaces an earlier one in its place.
    Ref functions_here = new_dict();
    for_items(here_by_key, [&](Obj k, Obj v) { dict_set(functions_here, plain_name(k), v); });
    Ref functions_there = new_dict();
    for_items(there_by_key, [&](Obj k, Obj v) { dict_set(functions_there, plain_name(k), v); });

    // A project function replaces a library function of the same name.
    Ref model_records = new_dict();
    check(PyDict_Update(model_records.ptr(), functions_there.ptr()));
    check(PyDict_Update(model_records.ptr(), functions_here.ptr()));

    // The models the PDK registers, under the PDK's names; those whose
    // function is not a known model are dropped.
    Ref created = new_dict();
    if (cache) cache->set_target(model_records);
    for_items(getattr(pdk, S::models), [&](Obj k, Obj v) {
        Ref create_record = f.global(S::_create_record);
        // Only this module's own _create_record may see the cache's records.
        if (cache && !is_native(create_record, _create_record_sig)) cache->release_all(model_records);
        dict_set(created, k, call(create_record, model_records, v));
    });
    Ref registered_records = new_dict();
    for_items(created, [&](Obj k, Obj v) {
        if (truthy(v)) dict_set(registered_records, k, v);
    });

    // The project's own model functions, then the registered models; the
    // library's other functions are dropped here.
    Ref own_records = new_dict();
    for_items(model_records, [&](Obj k, Obj v) {
        if (starts_with(module_of(v), here)) dict_set(own_records, k, v);
    });
    model_records = new_dict();
    check(PyDict_Update(model_records.ptr(), own_records.ptr()));
    check(PyDict_Update(model_records.ptr(), registered_records.ptr()));

    // The anchor module's directory: sources under it belong to the project's
    // own PDK, all others to the base PDK.
    Ref path_type = f.global(S::Path);
    Ref here_path = call(path_type, getitem(getitem(all_modules, here), S::path));
    Ref pdk_path = getattr(call_method(here_path, S::resolve), S::parent);
    Ref project_dir = call_method(call(f.global(S::get_project_dir)), S::resolve);

    // Fast path: while `Path` is pathlib's own class, the resolved source, its
    // PDK type and its relative text depend on the module's path text alone,
    // so a module's many models share one computation (a project's model
    // files hold hundreds). Any other `Path`, or a path that is not an exact
    // str, takes the calls below for every record.
    Ref pathlib_path = pathlib_class();
    const PathText path_text;
    // The host's resolve, Path(path).resolve() taken once per look at the
    // files (a module's source among the hundreds of a project's model
    // files), when its module is loaded and the function is its own.
    Ref host_resolve = pathlib_path ? host_resolver() : Ref();
    Ref by_path = new_dict();  // path text -> (pdk_type, relative source text)

    Ref final_model_records = new_dict();
    for_items(model_records, [&](Obj k, Obj v) {
        if (v.is_none()) return;
        path_type = f.global(S::Path);
        Ref module_record = getitem(all_modules, getitem(v, S::module));
        Ref path = getitem(module_record, S::path);
        const bool shared = pathlib_path && path_type.is(pathlib_path) && PyUnicode_CheckExact(path.ptr());
        Ref known = shared ? dict_get(by_path, path) : Ref();
        Obj pdk_type = T::pdk;
        Ref relsource_text;
        if (known) {
            pdk_type = Obj(PyTuple_GET_ITEM(known.ptr(), 0));
            relsource_text = Ref::borrow(PyTuple_GET_ITEM(known.ptr(), 1));
        } else {
            Ref source = shared && host_resolve ? call(host_resolve, path)
                                                : call_method(call(path_type, path), S::resolve);
            pdk_type = path_text.is_relative_to(source, pdk_path) ? T::pdk : T::base_pdk;
            // Sources outside the project directory are written with ".." parts.
            relsource_text = path_text.relative_text(source, project_dir);
            if (shared) dict_set(by_path, path, tuple({pdk_type, relsource_text}));
        }
        // The values in the order the record's keywords are written.
        // m.ModelRecord; through the package's own proxy of a loaded module,
        // read from the module, as the proxy's __getattr__ does.
        Ref m = f.global(S::m);
        Ref m_module = lazy_target(m, S::LazyModule);
        Ref model_record_type = getattr(m_module ? m_module : m, S::ModelRecord);
        Ref factory = getitem(v, S::name);
        Ref dumps = getattr(f.global(S::json), S::dumps);
        // The text made once per file content, while json.dumps is the
        // function that made it; any other json.dumps gets a fresh copy.
        Ref settings = cache ? cache->settings(v, dumps) : Ref();
        if (!settings) {
            Ref record = cache && cache->holds(v) ? cache->release(v) : Ref::borrow(v);
            settings = call(dumps, getitem(record, S::parameter_defaults));
        }
        dict_set(final_model_records, k,
                 call(model_record_type, kw(S::factory, factory), kw(S::settings, settings),
                      kw(S::source, relsource_text), kw(S::pdk_type, pdk_type)));
    });

    return final_model_records;
}

constexpr Param find_models_params[] = {
    {.name = "lib_paths", .check = Check::DictOrNone, .annotation = "dict[str, Path] | None", .value = Default::None},
};
}  // namespace

const Signature find_models_sig{
    .name = "find_models",
    .qualname = "find_models",
    .params = find_models_params,
    .returns = "dict[str, m.ModelRecord]",
    .doc = "Find all models in the current project.\n"
           "\n"
           "Args:\n"
           "    lib_paths: module name -> library path mapping of all relevant python libraries.\n"
           "\n"
           "Returns:\n"
           "    dict[str, ModelRecord]: mapping of model names to their records.",
    .documented = true,
    .impl = find_models,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
