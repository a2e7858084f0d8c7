# Sourced by the soaks: the card file of round i, and how it reaches the drop folder.

# Writes round i's file into the folder `drop` in one step (written beside it as a hidden
# part, then renamed): its debit card 900000+i topped up by one unit, then `newcards` new
# staff cards.
drop_soak_file() {  # i newcards drop
  local i=$1 newcards=$2 drop=$3 part="$3/../.f$1.part"
  {
    printf 'C,%d,DEBIT,Top-up %d,0800,20240101,1800,20261231,1\r\n' $((900000 + i)) "$i"
    for ((k = 0; k < newcards; k++)); do
      printf 'A,%d,STAFF,Card %d,0800,20240101,1800,20261231,30,,Soak,Round %d\r\n' \
        $((1000000 + i * 1000 + k)) "$k" "$i"
    done
  } > "$part"
  mv "$part" "$drop/f$i.csv"
}

pause() {  # up to N tenths of a second, at random
  sleep "$(printf '0.%d' $((RANDOM % ${1:-10})))"
}
