// The PostgreSQL catalogue's statements, in psycopg2's parameter style.
#include "modules/sqlwrap/postgresql_queries.hpp"

#include <string>

namespace norviai::sqlwrap::pg_queries {

namespace {

// Tables in scope: the schema asked for, or every table visible on the search path; only the
// tables named when some are.
std::string scope_condition(const Catalogue& catalogue, const char* cls, const char* ns) {
  std::string condition = catalogue.schema.is_none()
                              ? std::string("pg_catalog.pg_table_is_visible(") + cls +
                                    ".oid) AND " + ns + ".nspname <> 'pg_catalog'"
                              : std::string(ns) + ".nspname = %(schema)s";
  if (!catalogue.only.empty())
    condition += std::string(" AND ") + cls + ".relname = ANY(%(names)s)";
  return condition;
}

}  // namespace

// One row per column, unsorted (the reader orders columns by attnum: sorting 60,000 wide rows
// spills to disk under a default work_mem). Type details come per type from kTypes. A
// default is printed without its table's context where it cannot refer to columns (all but
// generated columns): with the table, pg_get_expr opens every table, which dominates the query.
std::string columns(const Catalogue& catalogue, bool has_generated) {
  const char* generated = has_generated ? "a.attgenerated" : "''";
  return std::string(R"sql(
SELECT c.relname, c.oid, a.attnum, a.attname,
       pg_catalog.format_type(a.atttypid, a.atttypmod),
       CASE WHEN a.atthasdef THEN pg_catalog.pg_get_expr(d.adbin,
         CASE WHEN )sql") +
         generated + R"sql( <> '' THEN d.adrelid ELSE 0 END) END,
       a.attnotnull,
       )sql" +
         generated + R"sql(,
       CASE WHEN a.attidentity <> '' THEN (
         SELECT ARRAY[s.seqstart, s.seqincrement, s.seqmin, s.seqmax, s.seqcache,
                      CASE WHEN s.seqcycle THEN 1 ELSE 0 END]
         FROM pg_catalog.pg_sequence s
         WHERE s.seqrelid = CAST(pg_catalog.pg_get_serial_sequence(
                 CAST(CAST(c.oid AS regclass) AS text), a.attname) AS regclass)) END,
       a.attidentity = 'a',
       CASE WHEN a.attcollation <> 0 AND a.attcollation <> t.typcollation THEN a.attcollation END,
       cd.description, a.atttypid
FROM pg_catalog.pg_class c
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_attribute a
  ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped
LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
LEFT JOIN pg_catalog.pg_type t ON t.oid = a.atttypid
LEFT JOIN pg_catalog.pg_description cd
  ON cd.objoid = c.oid AND cd.classoid = CAST('pg_catalog.pg_class' AS regclass)
  AND cd.objsubid = a.attnum
WHERE c.relkind IN ('r', 'p', 'f')sql" +
         (catalogue.views ? ", 'v', 'm'" : "") + ") AND " + scope_condition(catalogue, "c", "n");
}

// What the columns' types are, once per type. The element type stands in for an array type, so
// that arrays of enums resolve as SQLAlchemy resolves them (by the name without "[]").
const char* const kTypes = R"sql(
SELECT t.oid, t.typtype,
       et.typtype, et.typname, etn.nspname, pg_catalog.pg_type_is_visible(et.oid),
       CASE WHEN et.typtype = 'e' THEN ARRAY(
         SELECT CAST(e.enumlabel AS text) FROM pg_catalog.pg_enum e
         WHERE e.enumtypid = et.oid ORDER BY e.enumsortorder) END,
       CASE WHEN et.typtype = 'd' THEN pg_catalog.format_type(et.typbasetype, et.typtypmod) END,
       et.typnotnull, et.typdefault
FROM pg_catalog.pg_type t
LEFT JOIN pg_catalog.pg_type et
  ON et.oid = CASE WHEN t.typcategory = 'A' AND t.typelem <> 0 THEN t.typelem ELSE t.oid END
LEFT JOIN pg_catalog.pg_namespace etn ON etn.oid = et.typnamespace
WHERE t.oid = ANY(CAST(%(oids)s AS oid[])))sql";

// Key columns come as attnums: the reader names them from the columns it read (a subquery per
// key and side doubles the query's time at 10,000 tables).
std::string constraints(const Catalogue& catalogue, bool has_nulls_not_distinct) {
  return std::string(R"sql(
SELECT c.relname, k.conname, k.contype, k.conkey,
       CASE WHEN k.contype = 'c' THEN pg_catalog.pg_get_constraintdef(k.oid, true) END,
       r.relname, rn.nspname,
       CASE WHEN r.oid IS NOT NULL THEN pg_catalog.pg_table_is_visible(r.oid) END,
       k.confkey, k.confupdtype, k.confdeltype, k.confmatchtype, k.condeferrable, k.condeferred,
       )sql") +
         (has_nulls_not_distinct ? "(SELECT i.indnullsnotdistinct FROM pg_catalog.pg_index i "
                                   "WHERE i.indexrelid = k.conindid)"
                                 : "NULL") +
         R"sql(,
       k.conrelid, k.confrelid
FROM pg_catalog.pg_constraint k
JOIN pg_catalog.pg_class c ON c.oid = k.conrelid
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_class r ON r.oid = k.confrelid
LEFT JOIN pg_catalog.pg_namespace rn ON rn.oid = r.relnamespace
WHERE k.contype IN ('p', 'u', 'f', 'c') AND c.relkind IN ('r', 'p', 'f') AND )sql" +
         scope_condition(catalogue, "c", "n") + R"sql(
ORDER BY c.relname, k.conname)sql";
}

// Names of the collations columns have beyond their type's, with the schema where not visible.
const char* const kCollations = R"sql(
SELECT co.oid, co.collname,
       CASE WHEN NOT pg_catalog.pg_collation_is_visible(co.oid) THEN con.nspname END
FROM pg_catalog.pg_collation co
JOIN pg_catalog.pg_namespace con ON con.oid = co.collnamespace
WHERE co.oid = ANY(CAST(%(oids)s AS oid[])))sql";

// Column names of tables outside the read that foreign keys refer to.
const char* const kReferredColumns = R"sql(
SELECT a.attrelid, a.attnum, a.attname FROM pg_catalog.pg_attribute a
WHERE a.attrelid = ANY(CAST(%(oids)s AS oid[])) AND a.attnum > 0)sql";

// The table options the library reflects (parents, storage parameters, access method,
// tablespace), and the table comment the index reads, for the tables that have any.
std::string options(const Catalogue& catalogue) {
  return std::string(R"sql(
SELECT c.relname,
       ARRAY(SELECT CAST(p.relname AS text) FROM pg_catalog.pg_inherits i
             JOIN pg_catalog.pg_class p ON p.oid = i.inhparent
             WHERE i.inhrelid = c.oid ORDER BY i.inhseqno),
       c.reloptions,
       CASE WHEN am.amname <> current_setting('default_table_access_method') THEN am.amname END,
       ts.spcname, td.description
FROM pg_catalog.pg_class c
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_am am ON am.oid = c.relam
LEFT JOIN pg_catalog.pg_tablespace ts ON ts.oid = c.reltablespace
LEFT JOIN pg_catalog.pg_description td
  ON td.objoid = c.oid AND td.classoid = CAST('pg_catalog.pg_class' AS regclass)
  AND td.objsubid = 0
WHERE c.relkind IN ('r', 'p', 'f')sql") +
         (catalogue.views ? ", 'v', 'm'" : "") + ") AND " + scope_condition(catalogue, "c", "n") +
         R"sql(
  AND (c.relispartition OR c.reloptions IS NOT NULL OR c.reltablespace <> 0
       OR EXISTS (SELECT 1 FROM pg_catalog.pg_inherits i WHERE i.inhrelid = c.oid)
       OR am.amname <> current_setting('default_table_access_method')
       OR td.description IS NOT NULL))sql";
}

}  // namespace norviai::sqlwrap::pg_queries
