#!/usr/bin/env python3
"""Plants realistic faults in a copy of the sources, one at a time, and records which ones a test
suite catches (a failing test, a crash or a hang). A measure of the suite's power, not a test.

Each fault is a text substitution (file, exact old snippet, new snippet) applied to a scratch copy
of src/ and python/ with its own CMake build directory; the extension is rebuilt incrementally
and the suite runs against it through PYTHONPATH, from a copy of the suite's tests/ and
README.md. The worktree itself is never changed.

    tools/faults.py --check [--src REPO]            every snippet occurs exactly once
    tools/faults.py [--src REPO] [--suite REPO_OR_DIR] [--jobs 2] [--only ID,...] [--out FILE]

--src: the checkout whose src/ and python/ get the faults (default: this repository).
--suite: the checkout whose tests/ and README.md run (default: --src). The suite copy lives at
/tmp/tarnel-faults/<label>/ next to a link to ../shared, so the BSON corpus is found.
Results (JSON, one entry per fault: caught/missed/build-failed, the exit status and the first
failing test) go to --out. Needs the project's virtualenv (make build) for Python and cmake.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SCRATCH = "/tmp/tarnel-faults"

# (id, file, old, new, what), on the sources as they are after the layering of the collection
# and the store. Retired with the code they lived in: doc-is-utf8-end (the document reader's own
# UTF-8 check, now the one shared check, where keys-utf8-incomplete plants the same fault) and
# db-has-prefix (has() compared names itself; it is a table lookup now). store-names-unsorted is
# new: names() sorts a hash map's keys itself now. store-data-is-lock-closed is retired: a name
# that leads to an open database's -lock file is refused before it is opened now, and
# store-lock-name-opened plants the fault that takes its place.
FAULTS = [
    ("keys-sign-bit", "src/keys/codec.cc",
     "std::uint64_t u = static_cast<std::uint64_t>(v) ^ kSignBit;", "std::uint64_t u = static_cast<std::uint64_t>(v);",
     "int key encoded without flipping the sign bit (negatives sort last)"),
    ("keys-no-escape", "src/keys/codec.cc",
     'out->append("\\x00\\xFF", 2);', 'out->append("\\x00", 1);',
     "zero bytes in str/bytes keys not escaped"),
    ("keys-truncated-int", "src/keys/codec.cc",
     "if (n - i < kIntPartSize) {", "if (n - i < kIntPartSize - 1) {",
     "off-by-one in the truncated int check of decoding"),
    ("keys-escape-skip", "src/keys/codec.cc",
     "j = zi + 2;", "j = zi + 1;",
     "off-by-one skipping an escaped zero when decoding"),
    ("keys-surrogate", "src/error/text.cc",
     "      if (b0 == 0xED) hi = 0x9F;  // surrogates\n", "",
     "stored key UTF-8 check accepts surrogates"),
    ("keys-utf8-incomplete", "src/error/text.cc",
     "if (start + k >= n) return incomplete_utf8(start);", "if (start + k > n) return incomplete_utf8(start);",
     "off-by-one at the end of a cut UTF-8 sequence"),
    ("keys-successor", "src/keys/codec.cc",
     "while (n > 0 && static_cast<unsigned char>(prefix[n - 1]) == 0xFF) --n;", "while (false) --n;",
     "prefix successor does not drop trailing 0xFF bytes"),
    ("keys-tag-bytes", "src/keys/codec.h",
     "kTagBytes = 0x03;", "kTagBytes = 0x04;",
     "wrong on-disk tag of bytes key parts"),
    ("keys-bool", "src/keys/keys.cc",
     "  if (t == &PyBool_Type) return Scalar::kBool;\n", "",
     "bool keys accepted as ints"),
    ("keys-range-exc", "src/keys/keys.cc",
     "PyErr_SetString(PyExc_ValueError, kIntRange);", "PyErr_SetString(PyExc_OverflowError, kIntRange);",
     "out-of-range int key raises the wrong exception class"),
    ("keys-prefix-terminated", "src/keys/keys.cc",
     "encode_text(kTagStr, std::string_view(utf8, static_cast<size_t>(len)), terminate, out);", "encode_text(kTagStr, std::string_view(utf8, static_cast<size_t>(len)), true, out);",
     "str prefixes terminated like whole keys"),
    ("keys-int-prefix", "src/keys/keys.cc",
     "if (read_int(p, &v)) PyErr_SetString(PyExc_TypeError, kIntPrefix);", "if (read_int(p, &v)) { encode_int(v, out); ok = true; }",
     "a bare int accepted as a prefix"),
    ("keys-empty-scalar", "src/keys/keys.cc",
     "if (key.size() == 1) return", "if (key.size() <= 1) return",
     "off-by-one: the empty key read back as a scalar part"),
    ("keys-type-text", "src/keys/keys.cc",
     '" (expected str | int | bytes | tuple of those)"', '" (expected str | int | bytes)"',
     "wrong error text for an invalid key type"),
    ("doc-int64-code", "src/doc/encode.cc",
     "kInt64 = 0x12,", "kInt64 = 0x11,",
     "wrong BSON type code for int64"),
    ("doc-int32-range", "src/doc/encode.cc",
     "if (x >= std::numeric_limits<int32_t>::min() &&", "if (x > std::numeric_limits<int32_t>::min() &&",
     "off-by-one in the int32 range (INT32_MIN stored as int64)"),
    ("doc-datetime-floor", "src/doc/encode.cc",
     "double ms = std::round(seconds * 1000.0);", "double ms = std::floor(seconds * 1000.0);",
     "datetime rounding truncates instead of rounding half away from zero"),
    ("doc-datetime-max", "src/doc/encode.cc",
     "constexpr int64_t kMaxDatetimeMs = 253402300799999;", "constexpr int64_t kMaxDatetimeMs = 253402300800000;",
     "off-by-one in the last writable instant"),
    ("doc-depth", "src/doc/encode.cc",
     "if (depth_ >= kMaxDepth) {", "if (depth_ > kMaxDepth) {",
     "writer allows one level more than the limit"),
    ("doc-dedupe", "src/doc/encode.cc",
     "if (odd_keys || python_calls_ != calls_before) return dedupe(start);", "if (odd_keys) return dedupe(start);",
     "no duplicate-name pass after Python code ran under the walk"),
    ("doc-string-length", "src/doc/encode.cc",
     "append_le32(out_, static_cast<uint32_t>(len + 1));", "append_le32(out_, static_cast<uint32_t>(len));",
     "string length without its final zero"),
    ("doc-nul-name", "src/doc/encode.cc",
     "  if (has_nul_name_) {\n    std::string msg", "  if (false) {\n    std::string msg",
     "dropped check: field names with NUL stored"),
    ("doc-float-subclass", "src/doc/encode.cc",
     "if (t == &PyFloat_Type || PyType_IsSubtype(t, &PyFloat_Type)) {", "if (t == &PyFloat_Type) {",
     "float subclasses refused"),
    ("doc-naive-utc", "src/doc/encode.cc",
     "if (tz.get() == Py_None) {", "if (tz.get() != Py_None) {",
     "flipped test: naive datetimes taken as local time"),
    ("doc-value-steal", "src/doc/encode.cc",
     "py::Ref value = py::Ref::own(v);", "py::Ref value = py::Ref::steal(v);",
     "borrowed dict value released (refcount)"),
    ("doc-list-shrink", "src/doc/encode.cc",
     "for (Py_ssize_t i = 0; i < std::min(initial, PyList_Size(list)); ++i) {", "for (Py_ssize_t i = 0; i < initial; ++i) {",
     "list shrinking under the walk read past its end"),
    ("doc-read-negative-ms", "src/doc/decode.cc",
     "  if (rem < 0) {\n    secs -= 1;\n    rem += 1000;\n  }\n", "",
     "instants before the epoch with milliseconds read wrongly"),
    ("doc-read-depth", "src/doc/decode.cc",
     "if (depth >= kMaxDepth) {", "if (depth > kMaxDepth) {",
     "reader allows one level more than the limit"),
    ("doc-name-cache-steal", "src/doc/decode.cc",
     "return py::Ref::own(e.str);", "return py::Ref::steal(e.str);",
     "cached field name handed out without a reference (refcount)"),
    ("doc-frame-terminator", "src/doc/decode.cc",
     "if (bytes.back() != '\\0') return", "if (false) return",
     "dropped check of the document's final zero"),
    ("doc-read-int64", "src/doc/decode.cc",
     "return py::Ref::steal(PyLong_FromLongLong(bson_iter_int64(&it)));", "return py::Ref::steal(PyLong_FromLong(bson_iter_int32(&it)));",
     "int64 read as int32"),
    ("doc-binary-length", "src/doc/decode.cc",
     "PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), len));", "PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), len - (len > 0)));",
     "off-by-one in binary length"),
    ("doc-utf8-text", "src/doc/decode.cc",
     'return error::raise(bson_error(at, "Invalid UTF-8", {}));\n}', 'return error::raise(bson_error(at, "Invalid UTF8", {}));\n}',
     "wrong error text for invalid UTF-8 in a stored string"),
    ("doc-malformed-silent", "src/doc/decode.cc",
     "if (it->err_off != 0) {", "if (false) {",
     "dropped error check: malformed elements end the document silently"),
    ("doc-quote-nul", "src/error/text.cc",
     'case 0: out->append("\\\\0"); continue;', 'case 0: out->append("\\\\u{0}"); continue;',
     "wrong rendering of NUL in quoted names"),
    ("error-keyerror-class", "src/error/error.cc",
     "case Status::Code::kKeyError: type = PyExc_KeyError; break;", "case Status::Code::kKeyError: type = PyExc_LookupError; break;",
     "missing keys raise LookupError"),
    ("error-base-class", "src/error/error.cc",
     "py::Ref base = py::Ref::own(PyExc_Exception);", "py::Ref base = py::Ref::own(PyExc_RuntimeError);",
     "tarnel.Error derives from RuntimeError"),
    ("error-os-text", "src/store/env.cc",
     '" (os error "', '" (errno "',
     "wrong error text for OS errors"),
    ("error-closed-text", "src/error/status.h",
     '"database is closed"', '"database closed"',
     "wrong closed-store error text"),
    ("store-closed-check", "src/store/store.cc",
     "  if (!*out) return Status::error(std::string(error::kClosed));\n", "",
     "missed closed-store check"),
    ("store-shared-lock", "src/store/open_files.cc",
     "flock(fd, LOCK_EX | LOCK_NB)", "flock(fd, LOCK_SH | LOCK_NB)",
     "file lock taken shared"),
    ("store-lock-kept", "src/store/env.cc",
     "  ::close(lock_fd_);\n  ::close(data_fd_);\n", "  ::close(lock_fd_);\n",
     "file lock never released"),
    ("store-publish", "src/store/env.cc",
     "if (committed) {\n      it->second = dbi;", "if (committed) {\n      (void)dbi;",
     "created tables not published at commit"),
    ("store-close-keeps", "src/store/store.cc",
     "taken = std::move(engine_);", "taken = engine_;",
     "close() keeps the engine"),
    ("store-nosync-flipped", "src/store/store.cc",
     "env_->set_nosync(!durable_);", "env_->set_nosync(durable_);",
     "durable flag inverted"),
    ("store-cut-length", "src/store/env.cc",
     "uint64_t need = (uint64_t{info.me_last_pgno} + 1) * st.ms_psize;", "uint64_t need = uint64_t{info.me_last_pgno} * st.ms_psize;",
     "off-by-one page in the cut-file check"),
    ("store-snapshot-kept", "src/store/env.cc",
     "  mdb_txn_reset(txn);\n", "",
     "forgotten snapshot release: pooled read transactions keep their snapshot"),
    ("store-reuse-claimed", "src/store/env.cc",
     "const bool reusable = !found->claimed_.load() && stat(", "const bool reusable = stat(",
     "an environment still in use by an open database is reused by a second open"),
    ("store-foreign-lock-file", "src/store/open_files.cc",
     "  if (Status s = check_lock_file(lock_.fd, lock_.st.st_size, lock_path_, &lock_blank_); !s.ok()) {\n    return s;\n  }\n",
     "",
     "dropped check: a -lock file that is not LMDB's is overwritten"),
    ("store-fork-keeps-lock", "src/store/env.cc",
     "    ::close(env->data_fd_);\n", "",
     "a forked child keeps its share of the parent's file lock"),
    ("store-lock-not-allocated", "src/store/open_files.cc",
     "if (int e = allocate(lock_.fd, kLockBytes); e != 0) return", "if (int e = 0; e != 0) return",
     "the -lock file's pages are not allocated before they are mapped"),
    ("store-name-limit", "src/store/store.cc",
     "if (name.size() > kMaxKeyBytes) return", "if (name.size() >= kMaxKeyBytes) return",
     "off-by-one in the collection name limit"),
    ("py-base-exception", "src/py/convert.cc",
     "if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // Ctrl-C", "if (!PyErr_ExceptionMatches(PyExc_BaseException)) return false;  // Ctrl-C",
     "KeyboardInterrupt in a str() swallowed like an Exception"),
    ("doc-size-limit", "src/doc/encode.cc",
     "Encoder encoder(out, std::min(max_size, kMaxBsonSize));", "Encoder encoder(out, kMaxBsonSize);",
     "documents LMDB cannot write pass the size check"),
    ("store-max-readers", "src/store/env.h",
     "kMaxReaders = 8192;", "kMaxReaders = 126;",
     "wrong reader table size"),
    ("store-reader-check", "src/store/env.cc",
     "  mdb_reader_check(raw, &dead);\n", "",
     "slots of dead readers never cleared"),
    ("store-forked", "src/store/env.cc",
     "bool Env::forked() const { return fork_generation_ != fork_generation(); }",
     "bool Env::forked() const { return false; }",
     "fork never detected"),
    ("store-incompatible", "src/store/env.cc",
     "      if (r == MDB_INCOMPATIBLE) continue;\n", "",
     "a main-table key that is no table fails the open"),
    ("coll-get-long-key", "src/collection/collection.cc",
     "if (!s.ok() || !present || key.size() > store::kMaxKeyBytes) return s;", "if (!s.ok() || !present) return s;",
     "get of an over-long key asks the engine (error instead of KeyError)"),
    ("coll-put-many-empty", "src/collection/collection.cc",
     "  if (items.empty()) return Status();\n", "",
     "empty put_many opens a write transaction"),
    ("coll-delete-missing", "src/collection/collection.cc",
     "    if (rc == MDB_NOTFOUND) return Status();\n    if (rc != 0) return store::storage_error(rc);\n    *found = true;", "    *found = true;\n    if (rc == MDB_NOTFOUND) return Status();\n    if (rc != 0) return store::storage_error(rc);",
     "delete of a missing key succeeds"),
    ("coll-cursor-leak", "src/collection/collection.cc",
     "  mdb_cursor_close(cur);\n  if (rc == MDB_NOTFOUND) return Status();", "  if (rc == MDB_NOTFOUND) return Status();",
     "first/last leak their cursor"),
    ("coll-prefix-unbounded", "src/collection/collection_type.cc",
     "    b.has_upper = true;\n    b.upper = std::move(*next);", "    b.has_upper = false;\n    b.upper = std::move(*next);",
     "prefix scan without its upper end"),
    ("coll-reverse-ignored", "src/collection/collection_type.cc",
     "return scan(self, Bounds{}, mode, reverse);", "return scan(self, Bounds{}, mode, false);",
     "reverse flag ignored"),
    ("coll-repr-str", "src/collection/collection_type.cc",
     "py::Ref r = py::Ref::steal(PyObject_Repr(key_));", "py::Ref r = py::Ref::steal(PyObject_Str(key_));",
     "KeyError carries str() of the key instead of repr()"),
    ("coll-pair-length", "src/collection/collection_type.cc",
     "if (len != 2) {", "if (len < 2) {",
     "put_many accepts longer tuples"),
    ("coll-range-inclusive", "src/collection/collection.cc",
     "if (!reverse_) return !bounds_.has_upper || compare(k, bounds_.upper) < 0;", "if (!reverse_) return !bounds_.has_upper || compare(k, bounds_.upper) <= 0;",
     "range end included"),
    ("coll-long-bound", "src/collection/collection.cc",
     "    if (at.mv_size > store::kMaxKeyBytes) at.mv_size = store::kMaxKeyBytes;\n", "",
     "over-long lower bound handed to the engine"),
    ("coll-reentry", "src/collection/iter_type.cc",
     "if (it_->owner.load() == std::this_thread::get_id() ||", "if (it_->owner.load() != std::this_thread::get_id() ||",
     "flipped test: same-thread re-entry waits, other threads are refused"),
    ("coll-item-mode", "src/collection/python_classes.h",
     "mode == 1 ? Emit::kDoc", "mode & 1 ? Emit::kDoc",
     "odd item modes yield documents only"),
    ("coll-iter-snapshot-kept", "src/collection/iter_type.cc",
     "    it->scan.reset();  // gives the snapshot back\n", "",
     "forgotten snapshot release at the end of a scan"),
    ("coll-iter-cursor-leak", "src/collection/collection.cc",
     "if (cursor_ != nullptr && !txn_.env()->forked()) mdb_cursor_close(cursor_);", "(void)cursor_;",
     "iterators leak their cursor"),
    ("coll-reader-error", "src/collection/collection.cc",
     "  if (rc != 0) return store::storage_error(rc);\n  out->txn", "  out->txn",
     "dropped error check when no reader slot is left"),
    ("coll-too-long-text", "src/store/env.cc",
     '" bytes is longer than the engine\'s limit of " +', '" bytes exceeds the limit of " +',
     "wrong error text for an over-long key"),
    ("coll-empty-key", "src/collection/collection.cc",
     "static const char kEmpty = '\\0';", "static const char kEmpty = '\\x01';",
     "wrong stored form of the empty key"),
    ("coll-key-limit", "src/store/env.h",
     "kMaxKeyBytes = 511;", "kMaxKeyBytes = 512;",
     "off-by-one key size limit"),
    ("db-empty-name", "src/db/database.cc",
     "  if (name.empty()) {", "  if (false) {",
     "empty collection names accepted"),
    ("db-drop-missing", "src/db/database.cc",
     "  if (!found) return error::raise(Status::key_error(std::string(name)));\n", "",
     "drop of a missing collection succeeds"),
    ("db-close-noop", "src/db/database.cc",
     "  store_of(self).close();\n", "",
     "close() does nothing"),
    ("db-durable-default", "src/db/database.cc",
     "bool durable = true;", "bool durable = false;",
     "databases not durable by default"),
    ("module-open-self", "src/module/module.cc",
     "PyCFunction_NewEx(&db::kOpenDef, module, name.get())", "PyCFunction_NewEx(&db::kOpenDef, nullptr, name.get())",
     "open() not bound to the module"),
    ("module-no-error", "src/module/module.cc",
     "  return error::register_class(module);", "  return true;",
     "Error not added to the module"),
    ("py-missing-comma", "src/py/args.cc",
     "if (n > 2) list += ',';", "if (n > 1) list += ',';",
     "wrong missing-arguments message"),
    ("py-multiple-values", "src/py/args.cc",
     "      if (out[slot] != nullptr) {", "      if (false) {",
     "dropped check: an argument given twice"),
    ("py-was-were", "src/py/args.cc",
     'nargs == 1 ? "was" : "were"', 'nargs > 1 ? "was" : "were"',
     "wrong too-many-arguments message"),
    ("py-surrogate-end", "src/py/convert.cc",
     "for (size_t i = 0; i + 2 < n; ++i) {", "for (size_t i = 0; i + 3 < n; ++i) {",
     "off-by-one: a surrogate at the end of text is not replaced"),
    ("py-u8-range", "src/py/convert.cc",
     "if (v < 0 || v > 255) {", "if (v < 0 || v > 256) {",
     "off-by-one in the mode range"),
    ("py-none-text", "src/py/convert.cc",
     '  if (obj == Py_None) {\n    PyErr_Format(PyExc_TypeError, "\'None\' is not', '  if (false) {\n    PyErr_Format(PyExc_TypeError, "\'None\' is not',
     "wrong conversion message for None"),
    ("py-note-text", "src/py/convert.cc",
     '"while processing \'%s\'"', '"while processing %s"',
     "wrong argument note"),
    ("py-unprintable-text", "src/py/convert.cc",
     'out->append("<unprintable ").append(name)', 'out->append("<unprintable object ").append(name)',
     "wrong text for an unprintable str"),
    ("py-panic-base", "src/py/boundary.cc",
     "PyExc_BaseException, nullptr);", "PyExc_Exception, nullptr);",
     "PanicException catchable as Exception"),
    ("py-panic-text", "src/py/boundary.h",
     "  } catch (const Fault& e) {\n    set_panic(e.what());", '  } catch (const Fault& e) {\n    set_panic("fault");',
     "panic message lost"),
    ("py-dealloc-type", "src/py/types.h",
     "  free_fn(self);\n  Py_DECREF(type);", "  free_fn(self);",
     "instances keep a reference to their type (refcount)"),
    ("pkg-stub-param", "python/tarnel/_tarnel.pyi",
     "def delete(self, key: Key)", "def delete(self, k: Key)",
     "stub parameter name differs from the module"),
    ("store-names-unsorted", "src/store/env.cc",
     "  std::sort(names.begin(), names.end());\n", "",
     "collection names not sorted"),
    ("coll-step-holds-gil", "src/collection/iter_type.cc",
     "        py::Unlocked unlocked;\n        lock_.emplace(it_->mu, PoisonLock::Unchecked{});",
     "        lock_.emplace(it_->mu, PoisonLock::Unchecked{});",
     "a step that waits for another thread's step keeps the interpreter lock (deadlock)"),
    ("store-map-no-retry", "src/store/env.cc",
     "if (*rc != ENOMEM) return storage_error(*rc);", "return storage_error(*rc);",
     "no smaller map tried when the address space runs out"),
    ("py-exit-unwind", "src/py/boundary.h",
     "    set_panic(e.what());\n  }\n  if constexpr",
     "    set_panic(e.what());\n  } catch (...) {\n    set_panic(\"unknown C++ exception\");\n  }\n  if constexpr",
     "the boundary keeps the interpreter's forced unwind of a thread it stops at exit"),
    ("py-exit-rethrow", "src/py/gil.cc",
     "{ PyEval_RestoreThread(state_); }", "{\n  try {\n    PyEval_RestoreThread(state_);\n  } catch (...) {\n    throw;\n  }\n}",
     "the forced unwind caught and rethrown: uncaught_exceptions() stays raised, locks above are poisoned"),
    ("store-open-by-name", "src/store/env.cc",
     "Status o = open_env_on(name, data, lock, kMapSize", "Status o = open_env_on(path, data, lock, kMapSize",
     "LMDB opens the files by their names again: a link re-pointed meanwhile splits the database"),
    ("store-lock-size-kept", "src/store/open_files.cc",
     "  lock_size_ = lock_.st.st_size;\n", "",
     "a refused open leaves a -lock file it found allocated and written"),
    ("store-blank-lock-kept", "src/store/open_files.cc",
     "[[maybe_unused]] int rc = lock_blank_ ? ftruncate(lock_.fd, 0) : 0;", "[[maybe_unused]] int rc = 0;",
     "a refused open leaves LMDB's header in a -lock file it found zeros"),
    ("store-lock-is-data", "src/store/open_files.cc",
     "return fstat(lock_.fd, &lock_.st) == 0 && same_file(lock_.st, data_.st) ? self()",
     "return false ? self()",
     "a -lock name that leads to the data file is reported as a lock held"),
    ("store-lock-name-opened", "src/store/env.cc",
     "registry().empty() ? nullptr : &Env::holds_lock_file;", "nullptr;",
     "a name that leads to an open database's -lock file is opened for writing before it is refused"),
    ("store-held-stale-kept", "src/store/open_files.cc",
     "  sweep_once(place);\n", "",
     "folders of links that killed opens left are never removed"),
    ("store-nameless-kept", "src/store/env.cc",
     "  if (files.nameless()) {", "  if (false) {",
     "an open goes on with a file that a peer's failed open removed: its writes are lost"),
    ("store-first-place-only", "src/store/open_files.cc",
     "    if (why.empty()) return s;\n    trail += \"; \" + place + \": \" + why;\n  }",
     "    if (why.empty()) return s;\n    trail += \"; \" + place + \": \" + why;\n    break;\n  }",
     "the link folder is never tried in the next place when LMDB cannot open through its links"),
    ("store-make-first-place-only", "src/store/open_files.cc",
     "    *why = os_error_text(e);\n    return Status();",
     "    return no_place(\"the links to the database's files\", \"; \" + place);",
     "the link folder is never tried in the next place when it cannot be made there"),
    ("store-process-fd-folder", "src/store/open_files.cc",
     'return "/proc/thread-self/fd";', 'return "/proc/self/fd";',
     "links into /proc/self/fd: no file opens once the process's main thread has ended"),
    ("store-sweep-any-folder", "src/store/open_files.cc",
     "      ours = false;\n      break;\n", "",
     "the sweep empties a user's folder of a like name"),
    ("store-undo-first-look", "src/store/open_files.cc",
     "  if (file->st.st_size != 0) created->clear();\n", "  if (file->st.st_size != 0 && false) created->clear();\n",
     "a failed open removes a new file that another open wrote before this one's flock"),
    ("store-folder-umask", "src/store/open_files.cc",
     "    if (chmod(dir_.c_str(), 0700) != 0) return errno;\n", "",
     "the folder of links keeps the umask's mode: no links where it clears the owner's bits"),
    ("store-memory-first-failure", "src/store/open_files.cc",
     "if (why.empty() && (!own || anywhere)) return s;", "if (why.empty()) return s;",
     "an in-memory open fails where LMDB's first pages find no room, without trying the next place"),
    ("store-lmdb-fd-unchecked", "src/store/env.cc",
     "fstat(fd, &fs) != 0 || !same_file(fs, data.st)) {",
     "fstat(fd, &fs) != 0 || (!same_file(fs, data.st) && false)) {",
     "LMDB's descriptor is not checked: a folder of links changed meanwhile maps another file"),
    ("store-tmpfile-mode", "src/store/open_files.cc",
     "if ((file.st.st_mode & 0600) != 0600 && fchmod(file.fd, 0600) != 0) return errno;", "",
     "an in-memory database's files keep the umask's mode: LMDB cannot reopen them"),
    ("coll-fork-step-lock", "src/collection/iter_type.cc",
     "  if (it->generation != store::fork_generation()) {", "  if (false) {",
     "a forked child waits for the step lock a thread of the parent held"),
    ("store-put-back-unlooked", "src/store/open_files.cc",
     "  if (Status s = look_again(&data_, &data_created_); !s.ok()) return s;\n  data_looked_ = true;\n",
     "  data_looked_ = true;\n  if (Status s = look_again(&data_, &data_created_); !s.ok()) return s;\n",
     "a failed open puts the data file back from a look that failed: an existing database is emptied"),
    ("store-env-outlives-files", "src/store/env.cc",
     "  if (Status t = env->open_tables(); !t.ok()) return t;",
     "  if (Status t = env->open_tables(); !t.ok()) { files.~FoundFiles(); new (&files) FoundFiles(path); return t; }",
     "a failed open puts the files back while LMDB's environment is still open"),
    ("store-table-not-reserved", "src/store/store.cc", "  env->reserve_table(name);\n", "",
     "a created table has no map entry made before its commit: it is never published"),
    ("coll-step-not-again", "src/collection/iter_type.cc",
     "if (!out && PyErr_ExceptionMatches(PyExc_MemoryError)) it->scan->again();",
     "if (!out && PyErr_ExceptionMatches(PyExc_MemoryError)) (void)0;",
     "an iterator's step that ran out of memory loses its entry"),
]


def log(*a):
    print(time.strftime("%H:%M:%S"), *a, flush=True)


def check(src):
    bad = 0
    ids = set()
    for fid, path, old, new, _ in FAULTS:
        if fid in ids:
            print("duplicate id", fid)
            bad += 1
        ids.add(fid)
        full = os.path.join(src, path)
        text = open(full).read() if os.path.exists(full) else ""
        n = text.count(old)
        if n != 1:
            print(f"{fid}: {path}: snippet found {n} times")
            bad += 1
    print(f"{len(FAULTS)} faults, {bad} problems")
    return bad == 0


def copy_suite(suite, label):
    """tests/ and README.md of `suite` (a checkout) under SCRATCH/<label>/, beside ../shared."""
    dst = os.path.join(SCRATCH, label)
    shutil.rmtree(dst, ignore_errors=True)
    os.makedirs(dst)
    shutil.copytree(os.path.join(suite, "tests"), os.path.join(dst, "tests"),
                    ignore=shutil.ignore_patterns("__pycache__", ".hypothesis"))
    shutil.copy(os.path.join(suite, "README.md"), dst)
    shared = os.path.join(SCRATCH, "shared")
    if not os.path.exists(shared):
        os.symlink(os.path.join(os.path.dirname(REPO), "shared"), shared)
    return os.path.join(dst, "tests")


def sync(src, dst):
    """src/, python/ and CMakeLists.txt of `src` into `dst`: changed files are written anew (so
    the build sees them changed), files gone from `src` are removed."""
    want = {"CMakeLists.txt"}
    for part in ("src", "python"):
        for d, _, files in os.walk(os.path.join(src, part)):
            want.update(os.path.relpath(os.path.join(d, f), src) for f in files
                        if "__pycache__" not in d)
    for rel in sorted(want):
        data = open(os.path.join(src, rel), "rb").read()
        out = os.path.join(dst, rel)
        if not os.path.exists(out) or open(out, "rb").read() != data:
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with open(out, "wb") as f:
                f.write(data)
    for part in ("src", "python"):
        for d, _, files in os.walk(os.path.join(dst, part)):
            for f in files:
                if os.path.relpath(os.path.join(d, f), dst) not in want:
                    os.unlink(os.path.join(d, f))


class Slot:
    """A scratch copy of the sources with its own build directory."""

    def __init__(self, src, n, python, cmake):
        self.src, self.python, self.cmake = src, python, cmake
        self.root = os.path.join(SCRATCH, "slot%d" % n)
        self.build = os.path.join(self.root, "build")
        os.makedirs(self.root, exist_ok=True)
        sync(src, self.root)
        if not os.path.exists(os.path.join(self.build, "build.ninja")):
            subprocess.run([cmake, "-S", self.root, "-B", self.build, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DTARNEL_WERROR=OFF",
                            "-DPython_EXECUTABLE=" + python,
                            "-DCMAKE_MAKE_PROGRAM=" + os.path.join(os.path.dirname(cmake), "ninja")],
                           check=True, stdout=subprocess.DEVNULL)

    def build_now(self):
        r = subprocess.run([self.cmake, "--build", self.build], capture_output=True, text=True)
        return r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]

    def restore(self, path):
        shutil.copy2(os.path.join(self.src, path), os.path.join(self.root, path))
        os.utime(os.path.join(self.root, path))  # newer than the faulty build

    def run_suite(self, tests, timeout, typecheck):
        env = dict(os.environ, PYTHONPATH=os.path.join(self.build, "python"),
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("TARNEL_LONG", None)
        cmd = [self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "."]
        start = time.monotonic()
        try:
            r = subprocess.run(cmd, cwd=tests, env=env, capture_output=True, text=True,
                               timeout=timeout)
            rc, out = r.returncode, r.stdout + r.stderr
        except subprocess.TimeoutExpired as e:
            rc, out = "hang", (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        took = time.monotonic() - start
        first = ""
        m = re.search(r"^(FAILED|ERROR) (\S+)", out, re.M)
        if m:
            first = m.group(2)
        elif rc != 0:
            lines = [l for l in out.splitlines() if l.strip()]
            first = lines[-1][:200] if lines else ""
        if rc == 0 and typecheck:
            r = subprocess.run([self.python, "-m", "mypy.stubtest", "tarnel"], cwd=tests, env=env,
                               capture_output=True, text=True, timeout=timeout)
            if r.returncode != 0:
                rc, first = "stubtest", r.stdout.strip().splitlines()[0][:200]
        return rc, first, took


def tally(files):
    """Faults per folder, caught before and after, and the faults each side misses."""
    if "," not in files:
        files = [files[0], ",", *files[1:]]
    split = files.index(",")
    sides = []
    for group in (files[:split], files[split + 1:]):
        merged = {}
        for name in group:
            merged.update(json.load(open(name)))
        sides.append(merged)
    before, after = sides
    caught = lambda r: {k for k, v in r.items() if v["outcome"] == "caught"}  # noqa: E731
    folders = {}
    for fid, path, *_ in FAULTS:
        row = folders.setdefault(path.split("/")[1], [0, 0, 0])
        row[0] += 1
        row[1] += fid in caught(before)
        row[2] += fid in caught(after)
    print("%-12s %6s %7s %6s" % ("folder", "faults", "before", "after"))
    for name, (n, b, c) in sorted(folders.items()):
        print("%-12s %6d %7d %6d" % (name, n, b, c))
    print("%-12s %6d %7d %6d" % ("total", len(FAULTS), len(caught(before)), len(caught(after))))
    ids = {f[0] for f in FAULTS}
    print("caught before only:", sorted(caught(before) - caught(after)))
    print("caught after only:", sorted(caught(after) - caught(before)))
    print("caught by neither:", sorted(ids - caught(before) - caught(after)))
    print("not run or not built:", sorted(i for i in ids for r in (before, after)
                                          if r.get(i, {}).get("outcome") not in ("caught", "missed")))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--src", default=REPO)
    ap.add_argument("--suite", default=None)
    ap.add_argument("--label", default="suite")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--only", default="")
    ap.add_argument("--out", default=None)
    ap.add_argument("--timeout", type=int, default=300)
    ap.add_argument("--no-typecheck", action="store_true")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--tally", nargs="+", metavar="JSON",
                    help="BEFORE.json AFTER.json (more files of either side after a comma: "
                         "before1.json before2.json , after1.json)")
    a = ap.parse_args()
    if a.tally:
        return tally(a.tally)
    src = os.path.abspath(a.src)
    if not check(src):
        sys.exit(2)
    if a.check:
        return
    tests = copy_suite(os.path.abspath(a.suite or src), a.label)
    # A snapshot of the sources: changes to the checkout while the run goes on do not reach it.
    snap = os.path.join(SCRATCH, "src-" + a.label)
    os.makedirs(snap, exist_ok=True)
    sync(src, snap)
    src = snap
    venv = os.path.join(REPO, ".venv", "bin")
    python, cmake = os.path.join(venv, "python"), os.path.join(venv, "cmake")
    faults = [f for f in FAULTS if not a.only or f[0] in a.only.split(",")]
    slots = [Slot(src, n, python, cmake) for n in range(a.jobs)]
    free = list(slots)
    lock = threading.Lock()
    results = {}

    # The suite must pass on the sources as they are, or no fault can be told apart.
    ok, out = slots[0].build_now()
    assert ok, out
    rc, first, took = slots[0].run_suite(tests, a.timeout, not a.no_typecheck)
    log(f"unfaulted: rc={rc} {first} ({took:.0f} s)")
    assert rc == 0, "the suite fails without a fault"
    for s in slots[1:]:
        assert s.build_now()[0]

    def one(fault):
        fid, path, old, new, what = fault
        with lock:
            slot = free.pop()
        try:
            target = os.path.join(slot.root, path)
            text = open(os.path.join(src, path)).read()
            with open(target, "w") as f:
                f.write(text.replace(old, new, 1))
            ok, out = slot.build_now()
            if not ok:
                res = {"outcome": "build-failed", "detail": out[-600:]}
            else:
                rc, first, took = slot.run_suite(tests, a.timeout, not a.no_typecheck)
                res = {"outcome": "missed" if rc == 0 else "caught", "rc": rc, "by": first,
                       "seconds": round(took)}
            slot.restore(path)
            res.update(file=path, what=what)
            log(f"{fid}: {res['outcome']} {res.get('rc', '')} {res.get('by', '')}")
            with lock:
                results[fid] = res
                if a.out:
                    with open(a.out, "w") as f:
                        json.dump(results, f, indent=1, sort_keys=True)
        finally:
            with lock:
                free.append(slot)

    with ThreadPoolExecutor(a.jobs) as pool:
        list(pool.map(one, faults))
    for s in slots:  # leave the slots built from the pristine sources
        s.build_now()
    caught = sorted(k for k, v in results.items() if v["outcome"] == "caught")
    missed = sorted(k for k, v in results.items() if v["outcome"] == "missed")
    failed = sorted(k for k, v in results.items() if v["outcome"] == "build-failed")
    print(f"caught {len(caught)} / {len(caught) + len(missed)}; missed: {missed}; "
          f"build failed: {failed}")


if __name__ == "__main__":
    main()
