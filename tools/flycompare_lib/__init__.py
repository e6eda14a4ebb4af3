# flycompare_lib: the modules of tools/flycompare, the run comparison tool.
# reading (runs from files), metrics (per-pass figures), stats (intervals and
# tests), segments (where on the path), analysis (the comparison as one
# document), output (text and JSON), charts, pictures (screenshots), page
# (the HTML report) and cli (options, exit statuses).
