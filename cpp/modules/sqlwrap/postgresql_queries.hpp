// The statements the PostgreSQL catalogue reader sends: SQL texts in psycopg2's parameter style
// (%(schema)s, %(names)s for the catalogue's scope, %(oids)s for the lookups by oid). Plain text
// building, no Python objects touched beyond reading the catalogue's scope; throws nothing of
// its own.
#pragma once

#include <string>

#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap::pg_queries {

// Every column of the tables in scope, one row each, unsorted.
std::string columns(const Catalogue& catalogue, bool has_generated);
// Primary, unique, foreign-key and check constraints, key columns as attnums.
std::string constraints(const Catalogue& catalogue, bool has_nulls_not_distinct);
// Table options and table comments, for the tables that have any.
std::string options(const Catalogue& catalogue);

extern const char* const kTypes;            // type details by type oid
extern const char* const kCollations;       // collation names by oid
extern const char* const kReferredColumns;  // column names by table oid

}  // namespace norviai::sqlwrap::pg_queries
