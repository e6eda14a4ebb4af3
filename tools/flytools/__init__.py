# flytools: the modules of the tools a renderer developer runs around the
# plug-in (tools/flycompare today). Shared by every tool: reading (runs from
# files) and stats (intervals and tests). flycompare's own: metrics
# (per-pass figures), segments (where on the path), analysis (the comparison
# as one document), verdict, output (text and JSON), charts, pictures
# (screenshots), page (the HTML report) and compare_cli (options, exit
# statuses).
