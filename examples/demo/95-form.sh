# Demo tour, kvinet components and kvinet form: sourced in order by examples/demo.sh, which defines "step"
# and has started the servers (their settings in KV_* variables; a script skips what is not running).
# The palette page, a stored form printed back (custom port, enums, a set, a string list, a reference),
# one of its components run, and a broken form refused with its line.
step components
form_dir=$(mktemp -d)
cat > "$form_dir/tour.kvf" <<FORM
object Tour1: TComponent
  object Updater1: TKvWebUpdater
    Service = isHTTPS
    Port = 8443
    Host = 'downloads.example.com'
    RemoteFileName = '/tool/latest.zip'
  end
  object Whois1: TKvWhoIs
    Domain = 'example.com'
    ServerList.Strings = ( 'com=whois.example.com' 'net=whois.example.net' )
  end
  object Dns1: TKvIDNSResolver
    Requests = [irA, irMX]
  end
  object Camera1: TKvRemoteImage
    Image = Picture1
    Active = True
  end
  object Picture1: TImage
  end
  object Files1: TKvRemoteFiles
    Service = isNetwork
    Directory = '$ROOT/examples/forms'
  end
end
FORM
step form "$form_dir/tour.kvf"
step form "$form_dir/tour.kvf" --execute Files1
printf 'object Whois1: TKvWhoIs\n  Port = 43\n  Hots = %s\nend\n' "'x'" > "$form_dir/broken.kvf"
step form "$form_dir/broken.kvf"
rm -rf "$form_dir"
