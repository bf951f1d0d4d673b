#!/usr/bin/env bash
# Fails when an #include runs against the layers. The order, top down:
#   program/, bench/ -> ui/ -> app/ (cli/ -> app/) -> the engine's public headers
#   (engine/include/folimo, included as <folimo/...>) -> the engine object (engine/*.h)
#   -> pdf, ocr -> imaging -> base.
# Each engine part offers the parts above it only what is in its include/<part>/ folder
# ("imaging/Codecs.h"); the headers beside its sources are its own. Nothing includes
# upward, and no headers include each other in a circle, except the topic files of one
# class (Name.h, Name_topic.h). Tests and fuzz targets reach internals on purpose and are
# not checked. Usage: check-layers.sh [SOURCE_ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# The public headers the parts below the engine object may use: text helpers that hold
# nothing of the interfaces.
folimoHelpers=" WideText.h OutputName.h "

status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

fail() {
    echo "check-layers: $1: #include $2: $3" >&2
    status=1
}

# The parts below a part of the engine, and the folder of a part's public headers.
engineLower() {
    case $1 in
    base) echo "" ;;
    imaging) echo "base" ;;
    pdf | ocr) echo "base imaging" ;;
    object) echo "base imaging pdf ocr" ;;
    public) echo "" ;;
    esac
}
publicDir() {
    case $1 in
    object | public) echo engine/include/folimo ;;
    *) echo "engine/$1/include/$1" ;;
    esac
}

# The engine part a file belongs to.
enginePart() {
    case $1 in
    engine/include/folimo/*) echo public ;;
    engine/base/*) echo base ;;
    engine/imaging/*) echo imaging ;;
    engine/pdf/*) echo pdf ;;
    engine/ocr/*) echo ocr ;;
    engine/*/*) echo other ;;
    engine/*) echo object ;;
    esac
}

# "<name" or "\"name" for each #include of a file.
includesOf() {
    sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^>"]+)[>"].*/\1\2/p' "$1"
}

# Records a header-to-header edge for the cycle check.
edge() {
    case $1:$2 in
    *.h:*.h) echo "$1 $2" >>"$edges" ;;
    esac
}

checkEngineFile() {
    local file=$1 part dir own lower inc delim name lib rest
    part=$(enginePart "$file")
    if [ "$part" = other ]; then
        fail "$file" "" "a folder of the engine that is no part of it"
        return
    fi
    dir=$(dirname "$file")
    own=$(publicDir "$part")
    lower=" $(engineLower "$part") "
    while IFS= read -r inc; do
        delim=${inc:0:1}
        name=${inc:1}
        case $name in
        *..*)
            fail "$file" "$name" "reaches out of its folder"
            continue
            ;;
        esac
        if [ "$delim" = '"' ] && [[ $name != */* ]]; then
            if [ -f "$dir/$name" ]; then
                edge "$file" "$dir/$name"
            elif [ -f "$own/$name" ]; then
                edge "$file" "$own/$name"
            else
                fail "$file" "$name" "no header of its own part"
            fi
            continue
        fi
        lib=${name%%/*}
        rest=${name#*/}
        if [ "$lib" = folimo ]; then
            if [ "$part" = object ] || [ "$part" = public ]; then
                edge "$file" "engine/include/folimo/$rest"
            elif [[ $folimoHelpers == *" $rest "* ]]; then
                edge "$file" "engine/include/folimo/$rest"
            else
                fail "$file" "$name" "the interfaces are above this part"
            fi
        elif [[ $name == */* ]] && [ -d "engine/$lib" ]; then
            if [ "$lib" != "$part" ] && [[ $lower != *" $lib "* ]]; then
                fail "$file" "$name" "$lib is not below this part"
            elif [ ! -f "engine/$lib/include/$lib/$rest" ]; then
                fail "$file" "$name" "not among the public headers of $lib"
            else
                edge "$file" "engine/$lib/include/$lib/$rest"
            fi
        elif [ "$delim" = '"' ]; then
            fail "$file" "$name" "not a header of the engine"
        fi
    done < <(includesOf "$file")
}

# The folders a program folder may take headers from, its own first.
programDirs() {
    case $1 in
    app) echo "app" ;;
    cli) echo "cli app" ;;
    ui) echo "ui app" ;;
    program | bench) echo "$1 ui app" ;;
    esac
}

checkProgramFile() {
    local file=$1 top dirs inc delim name lib d found
    top=${file%%/*}
    dirs=$(programDirs "$top")
    while IFS= read -r inc; do
        delim=${inc:0:1}
        name=${inc:1}
        lib=${name%%/*}
        if [ "$delim" = '<' ]; then
            if [[ $name == */* ]] && [ "$lib" != folimo ] && [ -d "engine/$lib" ]; then
                fail "$file" "$name" "the engine is reached only through <folimo/...>"
            fi
            continue
        fi
        if [[ $name == */* ]]; then
            fail "$file" "$name" "a header of another folder; the engine only as <folimo/...>"
            continue
        fi
        found=""
        for d in $dirs; do
            if [ -f "$d/$name" ]; then
                found=$d/$name
                break
            fi
        done
        if [ -n "$found" ]; then
            edge "$file" "$found"
        elif [[ $name == *.moc || $name == *.inc ]]; then
            : # written by the build
        elif [ -n "$(find engine ui app cli program -name "$name" -print -quit)" ]; then
            fail "$file" "$name" "not in a layer at or below $top/"
        else
            fail "$file" "$name" "no header of the project"
        fi
    done < <(includesOf "$file")
}

while IFS= read -r file; do
    checkEngineFile "$file"
done < <(find engine -name '*.h' -o -name '*.cpp' | sort)
while IFS= read -r file; do
    checkProgramFile "$file"
done < <(find app ui cli program bench -name '*.h' -o -name '*.cpp' | sort)

# Circles among the headers: depth first, a header met again on the path closes one.
# One class's topic files (Name.h, Name_topic.h) may include each other.
cycles=$(awk '
    { out[$1] = out[$1] " " $2; nodes[$1] = 1 }
    function stem(path,    s) {
        s = path; sub(/.*\//, "", s); sub(/\.h$/, "", s); sub(/_.*/, "", s)
        return s
    }
    function visit(node, depth,    n, i, next_, j, same, circle) {
        state[node] = 1
        path[depth] = node
        n = split(out[node], next_, " ")
        for (i = 1; i <= n; i++) {
            if (state[next_[i]] == 1) {
                same = 1
                circle = next_[i]
                for (j = depth; j >= 1 && path[j] != next_[i]; j--) {
                    circle = path[j] " -> " circle
                    if (stem(path[j]) != stem(next_[i]))
                        same = 0
                }
                if (!same)
                    print next_[i] " -> " circle
            } else if (state[next_[i]] == 0) {
                visit(next_[i], depth + 1)
            }
        }
        state[node] = 2
    }
    END { for (node in nodes) if (state[node] == 0) visit(node, 1) }
' "$edges")
if [ -n "$cycles" ]; then
    while IFS= read -r circle; do
        echo "check-layers: headers include each other in a circle: $circle" >&2
    done <<<"$cycles"
    status=1
fi

[ $status -eq 0 ] && echo "check-layers: every include follows the layers"
exit $status
