# bash completion for quarvex

_quarvex()
{
    local cur prev words cword
    _init_completion || return

    local commands="demo run status list check config term send recv serve bridge"
    local common="--config --com-period --trace --quiet --verify --help"
    local line="--baud --data --parity --stop --flow"
    local command="" word
    for word in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done

    case $prev in
        --config) _filedir reg; return ;;
        --socket) _filedir; return ;;
        --pty) _filedir; return ;;
        --parity) COMPREPLY=($(compgen -W "n e o m s" -- "$cur")); return ;;
        --stop) COMPREPLY=($(compgen -W "1 2" -- "$cur")); return ;;
        --data) COMPREPLY=($(compgen -W "5 6 7 8" -- "$cur")); return ;;
        --flow) COMPREPLY=($(compgen -W "none rtscts xonxoff" -- "$cur")); return ;;
        --map) COMPREPLY=($(compgen -W "enter=cr enter=lf enter=crlf lf=crlf cr=crlf" -- "$cur")); return ;;
        --trace) COMPREPLY=($(compgen -W "all:3 pnp:3 open:3 io:4 general:2" -- "$cur")); return ;;
        --com-period|--baud|--timeout|--idle|--status-every|--rfc2217|--tcp|--listen|--allow) return ;;
    esac

    local own=""
    case $command in
        run) own="--socket --status-every" ;;
        status) own="--socket" ;;
        config) own="--default" ;;
        term) own="--map $line" ;;
        send) own="--timeout $line" ;;
        recv) own="--idle $line" ;;
        serve) own="--rfc2217 --allow" ;;
        bridge) own="--pty --tcp --listen --rfc2217 --allow" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $own" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    else
        case $command in
            run|list|check) _filedir reg ;;
            term|send|recv|serve|bridge)
                COMPREPLY=($(compgen -W "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9" -- "$cur"))
                [[ $command == send || $command == recv ]] && _filedir ;;
        esac
    fi
}
complete -F _quarvex quarvex
