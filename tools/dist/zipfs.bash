# bash completion for zipfs: its commands, each command's options (read from `zipfs COMMAND --help`, so they
# are always the installed tool's), files and directories where those are wanted, and for cat, stat and
# extract the members of the archive named on the line (read from `zipfs ls -R`, names with spaces included).

# The options of a command, one a line: "-l --long" for a flag, "-C --directory DIR" for one that takes a value,
# "_ --walk" for one without a short name.
_zipfs_options() {
    "$1" "$2" --help 2>/dev/null | awk '
        /^(Options|Common options):$/ { listed = 1; next }
        listed && /^ +-/ {
            short = "_"; long = $1; value = ""
            if ($1 ~ /^-.,$/) { short = substr($1, 1, 2); long = $2; if ($3 ~ /^[A-Z]+$/) value = $3 }
            else if ($2 ~ /^[A-Z]+$/) value = $2
            print short, long, value
        }'
}

# The archive's members, one a line as `zipfs ls -R` gives them, less the marks of refused members.
_zipfs_members() {
    "$1" ls -R -- "$2" 2>/dev/null | sed 's/  \[refused: [^]]*\]$//'
}

# A word as the shell will pass it, for the simple quoting people type: 'a b', "a b", a\ b, ~/a.
_zipfs_unquoted() {
    local word=$1
    case $word in
    \'*) word=${word#\'} word=${word%\'} ;;
    \"*) word=${word#\"} word=${word%\"} ;;
    *) word=$(printf '%s' "$word" | sed 's/\\\(.\)/\1/g') ;;
    esac
    [[ $word == \~/* ]] && word=$HOME/${word#\~/}
    printf '%s' "$word"
}

_zipfs() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} zipfs=${COMP_WORDS[0]}
    COMPREPLY=()
    if [[ $COMP_CWORD -eq 1 ]]; then
        local commands
        commands=$("$zipfs" --help 2>/dev/null | awk '/^Commands:$/ { l = 1; next } l && /^$/ { exit } l { print $1 }')
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi
    local command=${COMP_WORDS[1]} options line short long value
    options=$(_zipfs_options "$zipfs" "$command")
    # The value of the option before the cursor.
    while read -r short long value; do
        [[ -n $value && ($prev == "$short" || $prev == "$long") ]] || continue
        case $value in
        DIR)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            ;;
        FILE)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
        OPTIONS)
            local mountOptions="ro allow_other allow_root auto_unmount nonempty restart_budget= logfile="
            mapfile -t COMPREPLY < <(compgen -W "$mountOptions" -- "$cur")
            ;;
        esac
        return
    done <<<"$options"
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(awk '{ print ($1 == "_" ? "" : $1), $2 }' <<<"$options")" -- "$cur")
        return
    fi
    # Operands before the cursor, skipping options and the values they take.
    local -a operands=()
    local i word takesValue ended=false
    for ((i = 2; i < COMP_CWORD; ++i)); do
        word=${COMP_WORDS[i]}
        if ! $ended && [[ $word == -- ]]; then
            ended=true
        elif ! $ended && [[ $word == -?* ]]; then
            takesValue=$(awk -v w="$word" 'NF == 3 && ($1 == w || $2 == w) { print "yes" }' <<<"$options")
            [[ -n $takesValue && $word != *=* ]] && ((++i))
        else
            operands+=("$word")
        fi
    done
    case $command:${#operands[@]} in
    cat:0 | stat:0 | extract:0 | ls:0 | tree:0 | test:0 | mount:0 | scramble:* | unscramble:*)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    mount:1)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        ;;
    cat:* | extract:* | stat:1 | ls:1)
        local archive wanted member
        archive=$(_zipfs_unquoted "${operands[0]}")
        wanted=$(_zipfs_unquoted "$cur")
        while IFS= read -r member; do
            [[ $member == "$wanted"* ]] && COMPREPLY+=("$(printf '%q' "$member")")
        done < <(_zipfs_members "$zipfs" "$archive")
        # A directory is a step on the way: no space after it.
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
        ;;
    esac
}
complete -F _zipfs zipfs
