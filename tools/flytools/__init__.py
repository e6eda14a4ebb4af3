# flytools: the one library under the tools a renderer developer runs around
# the plug-in: flycompare (compare runs), flyrun (run builds interleaved,
# then compare) and flyhistory (keep runs over commits, find steps). The map
# of its folders is in the README, "Working on the tools".
