#!/usr/bin/env bash
# Two rules the compiler alone does not state plainly:
#  - the window's handler names (btnscanClick, Button2Click, N7Click, TMyThread, ...) live only in
#    src/ui, where they forward to the core's domain names;
#  - a core library includes only its own headers and those of the layers below it
#    (report < source < scan < analysis < assembly < tables < session).
set -u
cd "$(dirname "$0")/../.."
status=0

handlers='\b(btnscanClick|btnstopClick|btnsaveClick|btnokClick|btncancelClick|N[0-9]+Click|Button[0-9]+Click|DiskItemClick|VolumeItemClick|ListView[0-9](Click|ColumnClick|Compare|CustomDrawItem)|edtfilterClick|CheckBox1Click|Label7Click|PageControl1Change|FormCreate|FormClose|TMyThread|RefreshCombinationList|ChooserState|ChosenRow)\b'
hits=$(grep -rnE "$handlers" --include='*.cpp' --include='*.h' src tests tools bench fuzz \
         | grep -v -E '^(src/ui|tests/ui)/' | grep -v '^tests/layering/')
if [ -n "$hits" ]; then
    echo "window handler names outside src/ui:"
    echo "$hits"
    status=1
fi

layers=(report source scan analysis assembly tables session)
for i in "${!layers[@]}"; do
    layer=${layers[$i]}
    above=("${layers[@]:$((i + 1))}")
    [ ${#above[@]} -eq 0 ] && continue
    pattern="#include \"($(IFS='|'; echo "${above[*]}"))/"
    bad=$(grep -rnE "$pattern" "src/$layer" --include='*.cpp' --include='*.h')
    if [ -n "$bad" ]; then
        echo "src/$layer includes a layer above it:"
        echo "$bad"
        status=1
    fi
done

[ $status -eq 0 ] && echo "layers and names: ok"
exit $status
