// The Python class Database and the module function open().
#ifndef TARNEL_DB_DATABASE_H_
#define TARNEL_DB_DATABASE_H_

#include "py/python.h"

namespace tarnel::db {

// The type object, made on first use and kept. Null with an exception set on failure.
PyObject* database_type();

// open(path=None, durable=True), for the module's function table.
extern PyMethodDef kOpenDef;

}  // namespace tarnel::db

#endif  // TARNEL_DB_DATABASE_H_
